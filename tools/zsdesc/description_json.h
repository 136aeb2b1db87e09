#pragma once
// The readable form of a description: JSON that names every field of the file.
#include "description_source.h"

#include <nlohmann/json.hpp>

namespace zsdesc {

// Reads one JSON source. Throws FormatError naming the offending field.
Description descriptionFromJson(const nlohmann::json& source);

// Appends the entries of `more` to `into` (the version of `into` is kept).
void appendDescription(Description& into, Description more);

// The JSON of a description, every field the file's version holds; compiling it at the same
// version gives back the same bytes.
nlohmann::ordered_json descriptionToJson(const Description& description);

} // namespace zsdesc
