#!/usr/bin/env bash
# install_test.sh CMAKE CXX BUILD_DIR SERVER [SANITIZER_LINK_FLAGS]
# Installs the build into a temporary prefix and moves the tree; checks the library's
# exports and every RPATH; builds the quick-start example against the moved tree with
# find_package and with pkg-config, and runs both against a test server.
set -euo pipefail
cmake=$1 cxx=$2 build=$3 server=$4 link_flags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
examples=$here/../../examples
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
prefix=$work/moved
# The installed demo server, once there is one, proves the bin/ RPATH too.
if [ -x "$prefix/bin/quarlink-demo-server" ]; then server=$prefix/bin/quarlink-demo-server; fi

# The tool's bash completion and man page beside it.
if [ -x "$prefix/bin/quarlink" ]; then
  grep -q 'complete -F _quarlink quarlink' "$prefix/share/bash-completion/completions/quarlink" ||
    fail "no bash completion for quarlink"
  grep -q '^\.TH QUARLINK 1' "$prefix/share/man/man1/quarlink.1" || fail "no man page for quarlink"
fi

# Exports: the public classes only (the C++ runtime's weak template copies aside).
exports=$(nm -D --defined-only -C "$prefix/lib/libualib.so" | cut -d' ' -f3-)
leaked=$(grep -E 'internal|UA_|open62541' <<<"$exports" || true)
[ -z "$leaked" ] || fail "libualib.so exports internals: $leaked"
grep -q '^velk::quarlink::Client::Read(' <<<"$exports" || fail "Client::Read is not exported"

# SONAME, and only $ORIGIN-relative RPATHs in every installed ELF file.
readelf -d "$prefix/lib/libualib.so" | grep -q 'SONAME.*\[libualib\.so\.1\]' || fail "no SONAME libualib.so.1"
for file in "$prefix"/lib/*.so* "$prefix"/bin/*; do
  [ -f "$file" ] || continue
  for path in $(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p' | tr ':' ' '); do
    [[ $path == '$ORIGIN'* ]] || fail "$file has the RPATH $path"
  done
done

# The example gets a RUNPATH to lib/, which serves its direct needs only: the stack
# and mbedtls must come through libualib's own RPATH.
unset LD_LIBRARY_PATH
"$cmake" -S "$examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_EXE_LINKER_FLAGS="$link_flags -Wl,--enable-new-dtags" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 "$examples/host_quickstart.cpp" -o "$work/pkgconfig_quickstart" \
  $(pkg-config --cflags --libs ualib) $link_flags -Wl,--enable-new-dtags,-rpath,"$(pkg-config --variable=libdir ualib)"

"$here/with_server.sh" "$server" "$work/cmake/host_quickstart" >/dev/null
"$here/with_server.sh" "$server" "$work/pkgconfig_quickstart" >/dev/null
