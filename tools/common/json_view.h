// The JSON forms the showing tools print (--json). Every byte string is
// carried losslessly: a string that is valid UTF-8 goes out as a JSON string
// (quotes, backslashes and control characters escaped by the JSON library);
// any other byte string goes out as the object {"hex": "<two lowercase hex
// digits per byte>"}. A reader gets the original bytes back from either form.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "registry_view.h"

namespace orv::tools {

// Objects keep their members in the order written.
using Json = nlohmann::ordered_json;

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF): exactly what the JSON library writes unchanged.
bool validUtf8(std::string_view bytes);

// "01ab..." for the bytes.
std::string hexBytes(std::string_view bytes);

// A byte string as a JSON string or, when not UTF-8, as {"hex": ...}.
Json jsonBytes(std::string_view bytes);

// {"name": ..., "type": "REG_...", "data": ...}; data by the value's shown
// form: a string (text), a number, an array of strings (list), or
// {"hex": ...} (any other data).
Json jsonValue(const Value &value);

// node with "values" and "subkeys" added for the key at path and everything
// below it; each subkey as {"name": ..., "values": [...], "subkeys": [...]}.
Json jsonTree(const std::string &path, Json node);

// The document on standard output: two-space indents, a final line end.
void printJson(const Json &document);

}  // namespace orv::tools
