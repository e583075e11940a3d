#include "api/health_endpoint.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "api/api_error_codes.h"
#include "api/reply_writer.h"
#include "api/request_access.h"

namespace {

constexpr char kServiceName[] = "Kestrav";
constexpr size_t kIsoTimeBytes = 64;  // "2026-01-31T12:00:00Z" and NUL, with room for any year

constexpr const char* kCertificateStateNames[] = {"ok", "unreadable", "expires-within-90-days",
                                                  "expires-within-30-days"};

// UTC calendar date of a day count from 1970-01-01 (proleptic Gregorian),
// computed directly: gmtime_r is not available everywhere.
constexpr void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

void IsoTime(time_t t, char (&out)[kIsoTimeBytes]) {
  constexpr int64_t kDay = 86400;
  const auto seconds = static_cast<int64_t>(t);
  int64_t days = seconds / kDay;
  int64_t rest = seconds % kDay;
  if (rest < 0) {
    rest += kDay;
    days -= 1;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  snprintf(out, sizeof out, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
           month, day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
           static_cast<long long>(rest % 60));
}

void CertificateMember(const HealthCertificate& cert, time_t now, JsonReply* reply) {
  const int state = static_cast<int>(cert.state);
  const bool known = state >= 0 && state < static_cast<int>(std::size(kCertificateStateNames));
  JsonOpenObject(reply, "Certificate");
  JsonString(reply, "State", known ? kCertificateStateNames[state] : "unreadable");
  JsonString(reply, "Message", cert.message);
  if (cert.not_after == 0) {
    JsonNull(reply, "NotAfter");
    JsonNull(reply, "Expired");
  } else {
    char iso[kIsoTimeBytes];
    IsoTime(cert.not_after, iso);
    JsonString(reply, "NotAfter", iso);
    JsonBool(reply, "Expired", cert.not_after <= now);
  }
  JsonCloseObject(reply);
}

}  // namespace

void JsonReaderList(JsonReply* reply, std::span<const ReaderListing> readers, int reader_error) {
  JsonNumber(reply, "ReaderError", reader_error);
  JsonOpenArray(reply, "Readers");
  for (const ReaderListing& r : readers) {
    JsonOpenObject(reply, nullptr);
    JsonString(reply, "Model", r.model);
    JsonString(reply, "SerialNumber", r.serial_number);
    JsonCloseObject(reply);
  }
  JsonCloseArray(reply);
}

void BuildHealthJson(const HealthHostFacts& facts, const HealthCertificate* cert,
                     std::span<const ReaderListing> readers, int reader_error, time_t now,
                     JsonReply* reply) {
  JsonBegin(reply, 0, JsonCodeComma::kTight);
  JsonString(reply, "Service", kServiceName);
  JsonString(reply, "Version", facts.version != nullptr ? facts.version : "");
  JsonString(reply, "Scheme", facts.https ? "https" : "http");
  JsonNumber(reply, "Port", facts.port);
  JsonReaderList(reply, readers, reader_error);
  if (cert == nullptr) {
    JsonNull(reply, "Certificate");
  } else {
    CertificateMember(*cert, now, reply);
  }
  JsonEnd(reply);
}

void HandleHealth(ns_conn* nc, http_message* hm, const ApiContext* api) {
  if (CheckHostHeader(nc, hm) != 0) return;
  ReaderListing readers[kHealthMaxReaders];
  size_t count = 0;
  const int reader_error = ListReaders(readers, &count);
  const HealthHostFacts& facts = api->health;
  HealthCertificate cert = {CertificateHealth::kOk, "", 0};
  const bool with_cert = facts.https && facts.certificate != nullptr;
  if (with_cert) facts.certificate(&cert);
  JsonReply reply;
  BuildHealthJson(facts, with_cert ? &cert : nullptr, std::span(readers, count), reader_error,
                  time(nullptr), &reply);
  if (reply.failed) {
    SendErrorCodeReply(nc, kErrorOutOfMemory);
    return;
  }
  SendJsonReply(nc, JsonText(&reply));
}
