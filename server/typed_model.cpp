#include "typed_model.h"

#include <open62541/types.h>

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace quarlink_demo {
namespace {

constexpr UA_UInt16 kNamespace = 1;
constexpr UA_Byte kReadWrite = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;

// --- The data types, laid out as the stack lays out its own ---

struct Point {
  UA_Double x;
  UA_Double y;
};

// With optional fields: batch may be absent.
struct Recipe {
  UA_String name;
  Point origin;
  UA_Int32* batch;
  size_t stepsSize;
  UA_Double* steps;
};

enum Mode : UA_Int32 { kOff = 0, kAuto = 1, kManual = 2 };

constexpr UA_UInt32 kPointId = 3001;
constexpr UA_UInt32 kRecipeId = 3002;
constexpr UA_UInt32 kModeId = 3003;
constexpr UA_UInt32 kPointEncodingId = 3101;
constexpr UA_UInt32 kRecipeEncodingId = 3102;

UA_DataTypeMember pointMembers[] = {
    {UA_TYPENAME("x") & UA_TYPES[UA_TYPES_DOUBLE], 0, false, false},
    {UA_TYPENAME("y") & UA_TYPES[UA_TYPES_DOUBLE], offsetof(Point, y) - offsetof(Point, x) - sizeof(UA_Double), false,
     false},
};

enum TypeIndex { kPoint, kRecipe, kMode, kTypeCount };
extern UA_DataType typedTypes[kTypeCount];

UA_DataTypeMember recipeMembers[] = {
    {UA_TYPENAME("name") & UA_TYPES[UA_TYPES_STRING], 0, false, false},
    {UA_TYPENAME("origin") & typedTypes[kPoint], offsetof(Recipe, origin) - sizeof(UA_String), false, false},
    {UA_TYPENAME("batch") & UA_TYPES[UA_TYPES_INT32],
     offsetof(Recipe, batch) - offsetof(Recipe, origin) - sizeof(Point), false, true},
    {UA_TYPENAME("steps") & UA_TYPES[UA_TYPES_DOUBLE],
     offsetof(Recipe, stepsSize) - offsetof(Recipe, batch) - sizeof(void*), true, false},
};

UA_DataType typedTypes[kTypeCount] = {
    {UA_TYPENAME("Point"){kNamespace, UA_NODEIDTYPE_NUMERIC, {kPointId}},
     {kNamespace, UA_NODEIDTYPE_NUMERIC, {kPointEncodingId}},
     sizeof(Point),
     UA_DATATYPEKIND_STRUCTURE,
     true,
     false,
     2,
     pointMembers},
    {UA_TYPENAME("Recipe"){kNamespace, UA_NODEIDTYPE_NUMERIC, {kRecipeId}},
     {kNamespace, UA_NODEIDTYPE_NUMERIC, {kRecipeEncodingId}},
     sizeof(Recipe),
     UA_DATATYPEKIND_OPTSTRUCT,
     false,
     false,
     4,
     recipeMembers},
    // An enumeration is an Int32 to the stack; its names live in the EnumStrings property.
    {UA_TYPENAME("Mode"){kNamespace, UA_NODEIDTYPE_NUMERIC, {kModeId}},
     {0, UA_NODEIDTYPE_NUMERIC, {0}},
     sizeof(UA_Int32),
     UA_DATATYPEKIND_ENUM,
     true,
     true,
     0,
     nullptr},
};

const UA_DataTypeArray typedTypeArray = {nullptr, kTypeCount, typedTypes, false};

// --- Helpers ---

void Check(UA_StatusCode status, const std::string& what) {
  if (status != UA_STATUSCODE_GOOD) throw std::runtime_error(what + ": " + UA_StatusCode_name(status));
}

UA_NodeId Id(const char* name) { return UA_NODEID_STRING(kNamespace, const_cast<char*>(name)); }
UA_NodeId Ns0(UA_UInt32 id) { return UA_NODEID_NUMERIC(0, id); }

void AddDataType(UA_Server* server, const UA_DataType& type, UA_UInt32 parent) {
  UA_DataTypeAttributes attributes = UA_DataTypeAttributes_default;
  attributes.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(type.typeName));
  Check(UA_Server_addDataTypeNode(server, type.typeId, Ns0(parent), Ns0(UA_NS0ID_HASSUBTYPE),
                                  UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(type.typeName)), attributes, nullptr,
                                  nullptr),
        std::string("adding data type ") + type.typeName);
}

void AddEnumStrings(UA_Server* server) {
  std::array<UA_LocalizedText, 3> names{UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("Off")),
                                        UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("Auto")),
                                        UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("Manual"))};
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("EnumStrings"));
  attributes.dataType = UA_TYPES[UA_TYPES_LOCALIZEDTEXT].typeId;
  attributes.valueRank = UA_VALUERANK_ONE_DIMENSION;
  UA_UInt32 anyLength = 0;
  attributes.arrayDimensionsSize = 1;
  attributes.arrayDimensions = &anyLength;
  UA_Variant_setArray(&attributes.value, names.data(), names.size(), &UA_TYPES[UA_TYPES_LOCALIZEDTEXT]);
  Check(UA_Server_addVariableNode(server, UA_NODEID_NUMERIC(kNamespace, kModeId + 100), typedTypes[kMode].typeId,
                                  Ns0(UA_NS0ID_HASPROPERTY), UA_QUALIFIEDNAME(0, const_cast<char*>("EnumStrings")),
                                  Ns0(UA_NS0ID_PROPERTYTYPE), attributes, nullptr, nullptr),
        "adding Mode's EnumStrings");
}

void AddVariable(UA_Server* server, const char* name, const UA_Variant& value, const UA_NodeId& dataType) {
  UA_VariableAttributes attributes = UA_VariableAttributes_default;
  attributes.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name));
  attributes.value = value;  // shallow: the server copies it
  attributes.dataType = dataType;
  UA_UInt32 anyLength = 0;
  if (UA_Variant_isScalar(&value)) {
    attributes.valueRank = UA_VALUERANK_SCALAR;
  } else {
    attributes.valueRank = UA_VALUERANK_ONE_DIMENSION;
    attributes.arrayDimensionsSize = 1;
    attributes.arrayDimensions = &anyLength;
  }
  attributes.accessLevel = kReadWrite;
  attributes.userAccessLevel = kReadWrite;
  Check(UA_Server_addVariableNode(server, Id(name), Id("Typed"), Ns0(UA_NS0ID_ORGANIZES),
                                  UA_QUALIFIEDNAME(kNamespace, const_cast<char*>(name)),
                                  Ns0(UA_NS0ID_BASEDATAVARIABLETYPE), attributes, nullptr, nullptr),
        std::string("adding ") + name);
}

template <typename T>
void AddScalar(UA_Server* server, const char* name, T value, const UA_DataType& type) {
  UA_Variant variant;
  UA_Variant_setScalar(&variant, &value, &type);
  AddVariable(server, name, variant, type.typeId);
}

// Echo: returns the Recipe it is given, so a call checks both directions.
UA_StatusCode OnEcho(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                     size_t inputSize, const UA_Variant* input, size_t outputSize, UA_Variant* output) noexcept {
  if (inputSize < 1 || outputSize < 1 || !UA_Variant_hasScalarType(&input[0], &typedTypes[kRecipe]))
    return UA_STATUSCODE_BADINVALIDARGUMENT;
  return UA_Variant_setScalarCopy(&output[0], input[0].data, &typedTypes[kRecipe]);
}

void AddEcho(UA_Server* server) {
  UA_Argument argument;
  UA_Argument_init(&argument);
  argument.name = UA_STRING(const_cast<char*>("recipe"));
  argument.dataType = typedTypes[kRecipe].typeId;
  argument.valueRank = UA_VALUERANK_SCALAR;
  UA_MethodAttributes attributes = UA_MethodAttributes_default;
  attributes.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("Typed.Echo"));
  attributes.executable = true;
  attributes.userExecutable = true;
  Check(UA_Server_addMethodNode(server, Id("Typed.Echo"), Id("Typed"), Ns0(UA_NS0ID_HASCOMPONENT),
                                UA_QUALIFIEDNAME(kNamespace, const_cast<char*>("Typed.Echo")), attributes, OnEcho, 1,
                                &argument, 1, &argument, nullptr, nullptr),
        "adding Typed.Echo");
}

}  // namespace

void AddTypedModel(UA_Server* server) {
  UA_Server_getConfig(server)->customDataTypes = &typedTypeArray;
  AddDataType(server, typedTypes[kPoint], UA_NS0ID_STRUCTURE);
  AddDataType(server, typedTypes[kRecipe], UA_NS0ID_STRUCTURE);
  AddDataType(server, typedTypes[kMode], UA_NS0ID_ENUMERATION);
  AddEnumStrings(server);

  UA_ObjectAttributes folder = UA_ObjectAttributes_default;
  folder.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>("Typed"));
  Check(UA_Server_addObjectNode(server, Id("Typed"), Ns0(UA_NS0ID_OBJECTSFOLDER), Ns0(UA_NS0ID_ORGANIZES),
                                UA_QUALIFIEDNAME(kNamespace, const_cast<char*>("Typed")), Ns0(UA_NS0ID_FOLDERTYPE),
                                folder, nullptr, nullptr),
        "adding Typed");

  UA_Guid guid = UA_GUID("72962b91-fa75-4ae6-8d28-b404dc7daf63");
  AddScalar(server, "Typed.Guid", guid, UA_TYPES[UA_TYPES_GUID]);
  AddScalar(server, "Typed.StatusCode", UA_StatusCode{UA_STATUSCODE_BADNODEIDUNKNOWN}, UA_TYPES[UA_TYPES_STATUSCODE]);
  UA_Int32 mode = kAuto;
  UA_Variant modeValue;
  UA_Variant_setScalar(&modeValue, &mode, &UA_TYPES[UA_TYPES_INT32]);
  AddVariable(server, "Typed.Mode", modeValue, typedTypes[kMode].typeId);

  std::array<UA_Double, 3> steps{1.5, 2.5, -3};
  UA_Int32 batch = 7;
  Recipe recipe{UA_STRING(const_cast<char*>("bread")), {10, -20.25}, &batch, steps.size(), steps.data()};
  AddScalar(server, "Typed.Recipe", recipe, typedTypes[kRecipe]);
  std::array<Recipe, 2> recipes{recipe, Recipe{UA_STRING(const_cast<char*>("water")), {0, 0}, nullptr, 0, nullptr}};
  UA_Variant recipeArray;
  UA_Variant_setArray(&recipeArray, recipes.data(), recipes.size(), &typedTypes[kRecipe]);
  AddVariable(server, "Typed.Recipes", recipeArray, typedTypes[kRecipe].typeId);
  AddEcho(server);
}

}  // namespace quarlink_demo
