#include "api/api_error_codes.h"

#include "api/router.h"

void SendOutOfMemoryReply(ns_conn* nc) { SendJsonReply(nc, "{ \"ErrorCode\": 102 }"); }
