// consumer ENDPOINT: connects and reads one value through the installed library.
#include <velk/quarlink/client.h>

#include <cstdio>
#include <variant>

int main(int argc, char** argv) {
  using namespace tessel::fnd::defs;
  if (argc != 2) return 2;
  velk::quarlink::Client client;
  if (client.Configure({argv[1], {}}).code != ResultCode::Ok || client.Connect().code != ResultCode::Ok) return 1;
  ReadResult read = client.Read({{{"ns=1;s=Scalar.Int32", ""}}, {}});
  const bool ok = read.code == ResultCode::Ok && read.items.size() == 1 && read.items[0].value &&
                  std::get_if<int32_t>(&read.items[0].value->value) != nullptr;
  if (ok) std::printf("Scalar.Int32 = %d\n", std::get<int32_t>(read.items[0].value->value));
  client.Disconnect();
  return ok ? 0 : 1;
}
