// Reading values out of a loaded settings document (update.kll):
// link / parameters / param[@name=KEY], the value being the param's text.
#pragma once

#include <string>

#include <pugixml.hpp>

// The text of the first param named `key`, in document order; empty when there
// is none, when it has no child node or an element first, or when the query
// cannot be built from `key`.
std::wstring ReadParam(const pugi::xml_document& document, const std::wstring& key);

// `value` = true for exactly "1", "true" or "yes", false for any other
// non-empty text; left unchanged when the param is empty or missing.
void ReadBoolParam(const pugi::xml_document& document, const std::wstring& key, bool& value);
