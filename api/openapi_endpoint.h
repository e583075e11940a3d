// The route "/openapi.json": the OpenAPI 3.1 description of every route,
// parameter, reply member and error code. The text is api/openapi.json,
// compiled into the executable at build time, so the service needs no file.
#pragma once

#include <string_view>

#include "net/event_manager.h"
#include "net/http_parser.h"

// The embedded description (NUL-terminated behind the view).
std::string_view OpenApiDocument();

// "/openapi.json", any method, like "/health".
// No Host check: the text is the same for everyone and names nothing local.
void HandleOpenApi(ns_conn* nc, http_message* hm);
