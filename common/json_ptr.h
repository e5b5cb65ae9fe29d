// An owning holder for a json-c object: every early return releases it.
#pragma once

#include <json-c/json.h>

#include <memory>

struct json_put {
	void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;
