#!/usr/bin/env bash
# install_test.sh CMAKE CXX BUILD_DIR SERVER [SANITIZER_LINK_FLAGS]
# Installs the build into a temporary prefix, moves the tree, checks the library's
# exports and RPATHs, builds a consumer against the moved tree with find_package and
# with pkg-config, and runs both against a test server on a free loopback port.
set -euo pipefail
cmake=$1 cxx=$2 build=$3 server=$4 link_flags=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "install test: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
prefix=$work/moved
# The installed demo server, once there is one, proves the bin/ RPATH too.
[ -x "$prefix/bin/quarlink-demo-server" ] && server=$prefix/bin/quarlink-demo-server

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

# A consumer gets a RUNPATH to lib/, which serves its direct needs only: the stack
# and mbedtls must come through libualib's own RPATH.
unset LD_LIBRARY_PATH
"$cmake" -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_EXE_LINKER_FLAGS="$link_flags -Wl,--enable-new-dtags" >/dev/null
"$cmake" --build "$work/cmake" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 "$here/consumer/main.cpp" -o "$work/pkgconfig_consumer" $(pkg-config --cflags --libs ualib) \
  $link_flags -Wl,--enable-new-dtags,-rpath,"$(pkg-config --variable=libdir ualib)"

"$server" --port 0 --parent-pid $$ >"$work/server.out" &
server_pid=$!
for _ in $(seq 200); do
  grep -q '^READY' "$work/server.out" && break
  kill -0 "$server_pid" 2>/dev/null || fail "the server exited before it was ready"
  sleep 0.05
done
port=$(sed -n 's/^READY \([0-9]*\)$/\1/p' "$work/server.out")
[ -n "$port" ] || fail "no READY line from the server within 10 s"
"$work/cmake/consumer" "opc.tcp://127.0.0.1:$port"
"$work/pkgconfig_consumer" "opc.tcp://127.0.0.1:$port"
