// Owns a cJSON tree: the whole tree is freed when the handle goes, also when a getter throws.
#pragma once

#include <cjson/cJSON.h>
#include <memory>

struct cjson_deleter {
    void operator()(cJSON* node) const noexcept { cJSON_Delete(node); }
};
using json_ptr = std::unique_ptr<cJSON, cjson_deleter>;
