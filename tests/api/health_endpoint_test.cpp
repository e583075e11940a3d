// The status and OpenAPI routes: the health reply's text for each host and
// certificate situation, its bounds, and how the router reaches both routes.
#include "api/health_endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/openapi_endpoint.h"
#include "api/router.h"
#include "net/http_protocol.h"

namespace {

constexpr time_t kNow = 1767225600;  // 2026-01-01T00:00:00Z
const HealthHostFacts kHttp = {"1.1.0.15", false, 8000, nullptr};
const HealthHostFacts kHttps = {"1.1.0.15", true, 8443, nullptr};
const ReaderListing kOneReader[] = {{"NX51", "NX51000020240001"}};

std::string Build(const HealthHostFacts& facts, const HealthCertificate* cert,
                  std::span<const ReaderListing> readers, int reader_error) {
  JsonReply reply;
  BuildHealthJson(facts, cert, readers, reader_error, kNow, &reply);
  return reply.failed ? "<failed>" : std::string(JsonText(&reply));
}

TEST(HealthJson, HttpWithOneReaderIsTheWholeText) {
  EXPECT_EQ(Build(kHttp, nullptr, kOneReader, 0),
            "{ \"ErrorCode\": 0, \"Service\": \"Kestrav\", \"Version\": \"1.1.0.15\", \"Scheme\": "
            "\"http\","
            " \"Port\": 8000, \"ReaderError\": 0, \"Readers\": [ { \"Model\": \"NX51\","
            " \"SerialNumber\": \"NX51000020240001\" } ], \"Certificate\": null }");
}

TEST(HealthJson, ReadersAndCertificateCases) {
  const ReaderListing odd[] = {{"NX51", "A\"B\\C\x01"}, {"TRV08", ""}};
  struct Row {
    HealthHostFacts facts;
    HealthCertificate cert;
    bool with_cert;
    std::span<const ReaderListing> readers;
    int reader_error;
    const char* expected;
    const char* why;
  } rows[] = {
      {kHttp,
       {},
       false,
       {},
       1008,
       "\"ReaderError\": 1008, \"Readers\": [],",
       "a failed enumeration: its code and no readers"},
      {kHttp,
       {},
       false,
       odd,
       0,
       "[ { \"Model\": \"NX51\", \"SerialNumber\": \"A\\\"B\\\\C\\u0001\" }, { \"Model\": "
       "\"TRV08\","
       " \"SerialNumber\": \"\" } ]",
       "serial bytes from the SDK are escaped, never copied raw into the JSON"},
      {kHttps,
       {CertificateHealth::kOk, "", kNow + 400 * 86400},
       true,
       kOneReader,
       0,
       "\"Scheme\": \"https\", \"Port\": 8443,",
       "the scheme follows the listener"},
      {kHttps,
       {CertificateHealth::kOk, "", 951782400},
       true,
       kOneReader,
       0,
       "\"NotAfter\": \"2000-02-29T00:00:00Z\", \"Expired\": true",
       "leap day; past expiry"},
      {kHttps,
       {CertificateHealth::kExpiresWithin30Days, "SSL Certificate expires in less than 30 days",
        kNow + 20 * 86400 + 3723},
       true,
       kOneReader,
       0,
       "{ \"State\": \"expires-within-30-days\", \"Message\": \"SSL Certificate expires in less "
       "than 30 days\","
       " \"NotAfter\": \"2026-01-21T01:02:03Z\", \"Expired\": false }",
       "the tray's finding with its date"},
      {kHttps,
       {CertificateHealth::kExpiresWithin90Days, "", 4102444799},
       true,
       kOneReader,
       0,
       "\"State\": \"expires-within-90-days\", \"Message\": \"\", \"NotAfter\": "
       "\"2099-12-31T23:59:59Z\"",
       "last second of a century year"},
      {kHttps,
       {CertificateHealth::kUnreadable, "Failure to open SERVER.PEM", 0},
       true,
       kOneReader,
       0,
       "\"State\": \"unreadable\", \"Message\": \"Failure to open SERVER.PEM\", \"NotAfter\": "
       "null, \"Expired\": null",
       "an unknown expiry is null, not 1970"},
      {kHttps,
       {CertificateHealth::kExpiresWithin90Days, "", kNow},
       true,
       kOneReader,
       0,
       "\"Expired\": true",
       "expiry at this very second counts as expired"},
  };
  for (const Row& r : rows) {
    std::string text = Build(r.facts, r.with_cert ? &r.cert : nullptr, r.readers, r.reader_error);
    EXPECT_NE(text.find(r.expected), std::string::npos) << r.why << "\n" << text;
  }
}

// Nothing is cut: every reader and a message made of control characters
// that escape to six bytes each are written whole.
TEST(HealthJson, WorstCaseIsWrittenWhole) {
  std::vector<ReaderListing> readers(kHealthMaxReaders);
  for (ReaderListing& r : readers) {
    memset(r.model, 1, sizeof r.model - 1);
    r.model[sizeof r.model - 1] = '\0';
    memset(r.serial_number, 1, sizeof r.serial_number - 1);
    r.serial_number[sizeof r.serial_number - 1] = '\0';
  }
  HealthCertificate cert = {CertificateHealth::kUnreadable, "", kNow};
  memset(cert.message, 1, sizeof cert.message - 1);
  cert.message[sizeof cert.message - 1] = '\0';
  const std::string text = Build(kHttps, &cert, readers, -2147483647);
  std::string message;
  for (size_t i = 0; i + 1 < sizeof cert.message; ++i) message += "\\u0001";
  EXPECT_NE(text.find("\"Message\": \"" + message + "\","), std::string::npos) << text;
  size_t models = 0;
  for (size_t at = text.find("\"Model\""); at != std::string::npos;
       at = text.find("\"Model\"", at + 1)) {
    ++models;
  }
  EXPECT_EQ(models, kHealthMaxReaders);
  EXPECT_EQ(text.substr(text.size() - 4), " } }");
}

// Through the router, with replies collected in a never-polled connection.
std::string Route(const std::string& request, ApiContext* context = nullptr) {
  http_message hm;
  EXPECT_GT(http_parse_message(request.data(), static_cast<int>(request.size()), &hm), 0);
  ns_conn nc = {};
  nc.sock = -1;
  nc.user_data = context;
  ApiRequestHandler(&nc, NS_EV_HTTP_REQUEST, &hm);
  std::string sent(nc.send_mbuf.buf != nullptr ? nc.send_mbuf.buf : "", nc.send_mbuf.len);
  mbuf_free(&nc.send_mbuf);
  return sent;
}

std::string Get(const char* path, const char* host = "127.0.0.1:8000",
                ApiContext* context = nullptr) {
  return Route(std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", context);
}

// The body after the header block, checked against its Content-Length.
std::string Body(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return "<no header end>";
  std::string body = reply.substr(end + 4);
  if (reply.find("Content-Length: " + std::to_string(body.size()) + "\r\n") == std::string::npos) {
    return "<length differs>";
  }
  return body;
}

TEST(HealthRoutes, PathsAndAccess) {
  struct Row {
    std::string reply;
    const char* starts;
    const char* why;
  } rows[] = {
      {Get("/health"), "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n",
       "health, CORS like the others"},
      {Get("/health?x=1"), "HTTP/1.1 200 OK\r\n", "a query string is not part of the path"},
      {Route("OPTIONS /health HTTP/1.1\r\nHost: localhost\r\n\r\n"), "HTTP/1.1 200 OK\r\n",
       "any method: a pre-flight fails at once instead of hanging"},
      {Get("/health", "localhost.example.net"),
       "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
       "a rebinding name must not read the readers' serials"},
      {Get("/openapi.json", "localhost.example.net"),
       "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n",
       "the description names nothing local: no Host check"},
      {Get("/health/"), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "paths are exact"},
      {Get("/Health"), "HTTP/1.1 404 ", "paths are case-sensitive"},
      {Get("/openapi.json/"), "HTTP/1.1 404 ", "exact"},
      {Get("/openapi"), "HTTP/1.1 404 ", "exact"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.reply.substr(0, strlen(r.starts)), r.starts) << r.why;
    if (r.starts[0] == '\0') {
      EXPECT_EQ(r.reply, "") << r.why;
    }
  }
}

TEST(HealthRoutes, RepliesCarryExactlyTheirText) {
  std::string health = Body(Get("/health"));
  EXPECT_EQ(health.rfind("{ \"ErrorCode\": 0, \"Service\": \"Kestrav\"", 0), 0u) << health;
  EXPECT_EQ(Body(Get("/openapi.json")), std::string(OpenApiDocument()));
  EXPECT_EQ(OpenApiDocument().find('\0'), std::string_view::npos);
}

// The host's facts reach the route with the connection's context; the
// certificate is asked for only under HTTPS.
int g_certificate_calls = 0;
void FakeCertificate(HealthCertificate* out) {
  ++g_certificate_calls;
  *out = {CertificateHealth::kExpiresWithin30Days, "soon", kNow};
}

TEST(HealthRoutes, FactsComeFromTheConnectionsContext) {
  ApiContext http = {"", 0, nullptr, {"9.8.7.6", false, 49152, FakeCertificate}, nullptr};
  g_certificate_calls = 0;
  std::string body = Body(Get("/health", "localhost", &http));
  EXPECT_NE(body.find("\"Version\": \"9.8.7.6\", \"Scheme\": \"http\", \"Port\": 49152,"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("\"Certificate\": null }"), std::string::npos) << body;
  EXPECT_EQ(g_certificate_calls, 0);

  ApiContext https = {"", 0, nullptr, {"9.8.7.6", true, 8443, FakeCertificate}, nullptr};
  body = Body(Get("/health", "localhost", &https));
  EXPECT_NE(
      body.find("\"Certificate\": { \"State\": \"expires-within-30-days\", \"Message\": \"soon\","),
      std::string::npos)
      << body;
  EXPECT_EQ(g_certificate_calls, 1);
}

}  // namespace
