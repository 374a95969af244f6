#pragma once
// Writers and readers of the recipe's records: one writeJsonP / readJsonP overload per record,
// the control-loop variant, and the whole parameter.json document.
//
// writeJsonP(record, dst, room, name): at the current indentation level
// (gIndentLevelForWriteJsonP), with a name "name":{ , without (array element) {, then one member
// per line one level deeper, the closing } directly behind the last value. The count ends at
// the "}"; a newline is stored after it (room permitting) but not counted, so the caller's ",\n"
// overwrites it. -1 when the record did not fit the room (nothing is written past the room).
//
// readJsonP(record, text): takes the balanced {...} block starting at the text's first '{' and
// applies every key found at the block's own level; absent keys leave their fields unchanged,
// an empty text or a block that does not close changes nothing.
#include <string_view>
#include <variant>

#include "recipe/json_codec.h"
#include "recipe/recipe_data.h"

#define RECIPE_CODEC_DECLARE(R)                                        \
    int writeJsonP(const R& value, char* dst, int room, const char* name); \
    void readJsonP(R& value, std::string_view text);                     \
    bool sameStored(const R& a, const R& b);

RECIPE_CODEC_DECLARE(SystemRecipeData)
RECIPE_CODEC_DECLARE(ModbusRtuRecipeData)
RECIPE_CODEC_DECLARE(ProbeMeasureRecipeItem)
RECIPE_CODEC_DECLARE(FirewallRuleItem)
RECIPE_CODEC_DECLARE(BluetoothRecipeData)
RECIPE_CODEC_DECLARE(ModemInfoRecipeData)
RECIPE_CODEC_DECLARE(WifiRecipeData)
RECIPE_CODEC_DECLARE(CellularRecipeData)
RECIPE_CODEC_DECLARE(CloudServerRecipeData)
RECIPE_CODEC_DECLARE(GatewayServerRecipeData)
RECIPE_CODEC_DECLARE(PortForwardingItem)
RECIPE_CODEC_DECLARE(RemoteAccessRecipeData)
RECIPE_CODEC_DECLARE(WanRecipeData)
RECIPE_CODEC_DECLARE(LanRecipeData)
RECIPE_CODEC_DECLARE(LoraRecipe)
RECIPE_CODEC_DECLARE(LoraRegisterItem)
RECIPE_CODEC_DECLARE(LoraDeviceRecipeItem)
RECIPE_CODEC_DECLARE(DataLogRecipeData)
RECIPE_CODEC_DECLARE(MBTcpClientInputItem)
RECIPE_CODEC_DECLARE(MBTcpClientOutputItem)
RECIPE_CODEC_DECLARE(MBTcpClientItemBase)
RECIPE_CODEC_DECLARE(MBTcpClientItem)
RECIPE_CODEC_DECLARE(MBTcpServerRecipeData)
RECIPE_CODEC_DECLARE(UpgradeRecipeData)
RECIPE_CODEC_DECLARE(DigitalRecipeItem)
RECIPE_CODEC_DECLARE(AIRecipeItem)
RECIPE_CODEC_DECLARE(LoopNoneRecipeData)
RECIPE_CODEC_DECLARE(LoopSetpointRecipeData)
RECIPE_CODEC_DECLARE(LoopPIDRecipeData)
RECIPE_CODEC_DECLARE(LoopIntervalRecipeData)

#undef RECIPE_CODEC_DECLARE

// One control-loop slot. Writing picks the alternative's writer. Reading: "type" absent or
// negative leaves the slot; the same kind is read over; another kind replaces the slot by a fresh
// record of that kind (type >= 4: a none record holding that type) that keeps the slot's id, and
// then reads the element over it. Instantiated for LoopRecipeVariant only.
template <class... Ts>
int writeJsonP(const std::variant<Ts...>& value, char* dst, int room, const char* name);
template <class... Ts>
void readJsonP(std::variant<Ts...>& value, std::string_view text);
bool sameStored(const LoopRecipeVariant& a, const LoopRecipeVariant& b);

// The whole document (the name is ignored: the document is the top-level object). The count
// ends at the final "}"; nothing follows it but a terminating zero when room allows.
int writeJsonP(const ScadaRecipeData& value, char* dst, int room, const char* name);
// Reads a document over the recipe. A document cut off before its end (power loss while it was
// written by another program) still yields every section whose block closes.
void readJsonP(ScadaRecipeData& value, std::string_view text);

// The same, reporting what the text held: a top-level object at all, whether it closes, and how
// many of the document's top-level keys were found.
struct RecipeDocumentReadResult {
    bool hasObject = false;
    bool closed = false;
    int keysFound = 0;
};
RecipeDocumentReadResult readRecipeDocument(ScadaRecipeData& value, std::string_view text);

// Top-level keys of the document in written order.
inline constexpr const char* kRecipeDocumentKeys[] = {
    "system",        "modbusRtu",      "sensors",        "firewall",    "bluetooth", "lte",
    "wifi",          "cellular",       "lora",           "loraDevice",  "dataLog",   "cloudServer",
    "gatewayServer", "portForwarding", "orvaneProRemote", "wan",        "lan",       "MBTcpClient",
    "MBTcpServer",   "database",       "upgrade",        "controlloop", "digital",   "ai"};
