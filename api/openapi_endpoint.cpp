#include "api/openapi_endpoint.h"

#include "api/reply_writer.h"

// Generated from api/openapi.json by cmake/embed_text.cmake.
extern const char kOpenApiJsonText[];
extern const unsigned long kOpenApiJsonLength;

std::string_view OpenApiDocument() {
  return {kOpenApiJsonText, kOpenApiJsonLength};
}

void HandleOpenApi(ns_conn* nc, http_message*) {
  SendJsonReply(nc, OpenApiDocument());
}
