// The command-line tool's value grammar: `NODE=VALUE` text as a value of a given
// built-in type, the `TYPE:` prefix and the structure text of typed values. A value
// the grammar accepted reads back from the text the tool prints for it.
#include <string>
#include <variant>

#include "fuzz_support.h"
#include "values.h"

using tessel::fnd::defs::Value;

namespace {

constexpr const char* kTypeNames[] = {"Boolean", "SByte", "Byte",   "Int16", "UInt16", "Int32",
                                      "UInt32",  "Int64", "UInt64", "Float", "Double", "String"};

// Strings that are not plain ASCII are printed with replacements where they are not UTF-8.
bool PrintsExactly(const Value& value) {
  const auto ascii = [](const std::string& s) {
    for (const char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  };
  if (const auto* text = std::get_if<std::string>(&value)) return ascii(*text);
  if (const auto* texts = std::get_if<std::vector<std::string>>(&value)) {
    for (const std::string& text : *texts) {
      if (!ascii(text)) return false;
    }
  }
  return true;
}

// Scalars read back from their text, arrays from their JSON (which quotes NaN).
void CheckReadsBack(const std::string& typeName, const Value& value) {
  if (!PrintsExactly(value)) return;
  const bool array = quarlink::ValueTypeName(value).ends_with("[]");
  const std::string printed = array ? quarlink::DumpJson(quarlink::ValueToJson(value)) : quarlink::ValueToText(value);
  try {
    FUZZ_CHECK(fuzz::SameValue(quarlink::ParseValue(typeName, printed), value));
  } catch (const quarlink::ValueSyntaxError& e) {
    std::fprintf(stderr, "printed as %s: %s\n", printed.c_str(), e.what());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  std::string typeName = kTypeNames[input.Byte() % std::size(kTypeNames)];
  const std::string text = input.Rest();
  std::string valueText = text;
  if (const std::optional<quarlink::TypedText> typed = quarlink::SplitTypedText(text)) {
    FUZZ_CHECK(quarlink::CanonicalTypeName(typed->typeName) == typed->typeName);
    typeName = typed->typeName;
    valueText = typed->text;
  }
  try {
    const Value value = quarlink::ParseValue(typeName, valueText);
    FUZZ_CHECK(quarlink::ValueTypeName(value).starts_with(typeName));
    CheckReadsBack(typeName, value);
  } catch (const quarlink::ValueSyntaxError&) {
  }
  tessel::fnd::defs::DataValue typed;
  typed.value = quarlink::ParseTypedText(text);
  quarlink::DumpJson(quarlink::DataValueToJson(typed));
  quarlink::DataValueToText(typed);
  return 0;
}
