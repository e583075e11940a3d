// The location tags of the trace entries, in one place. An entry begins with
// its tag in square brackets: the name of the operation that writes it, or a
// source unit and a line ("ravavade" the API, "ravadoviz" the host). The tags
// are part of the trace file's fixed format (see trace_log.h): they name the
// step an entry reports, not where the code sits today, so they do not
// change when the code moves.
#pragma once

// Operations that tag their entries with their own name.
inline constexpr char kTagCaptureImage[] = "BCCaptureImage";
inline constexpr char kTagDeviceId[] = "GetDeviceIdFromName";
inline constexpr char kTagMatchingScore[] = "BCGetMatchingScore";
inline constexpr char kTagEncrypt[] = "EncryptAES256";

// Start-up and routing ("ravadoviz").
inline constexpr char kTagArguments[] = "ravadoviz:437";          // one command-line argument
inline constexpr char kTagHandleTableFailed[] = "ravadoviz:271";  // the service cannot start
inline constexpr char kTagNoKeyPair[] = "ravadoviz:331";          // no RSA key pair at start
inline constexpr char kTagRoutePreflight[] = "ravadoviz:236";
inline constexpr char kTagRouteCapture[] = "ravadoviz:241";
inline constexpr char kTagRouteMatch[] = "ravadoviz:247";
inline constexpr char kTagRoutePublicKey[] = "ravadoviz:252";
inline constexpr char kTagRouteStatus[] = "ApiRequestHandler";  // "/health", "/openapi.json"

// Who is asking ("ravavade").
inline constexpr char kTagUserAgent[] = "ravavade:123";
inline constexpr char kTagOriginDomain[] = "ravavade:148";

// Key pair and session keys ("ravavade").
inline constexpr char kTagKeyGenerationFailed[] = "ravavade:180";
inline constexpr char kTagKeyPemFailed[] = "ravavade:186";
inline constexpr char kTagPublicKeyEntered[] = "ravavade:210";
inline constexpr char kTagKeyRegenerationFailed[] = "ravavade:214";
inline constexpr char kTagPublicKeyReplyFailed[] = "ravavade:240";
inline constexpr char kTagPublicKeyLeaving[] = "ravavade:256";
inline constexpr char kTagSessionKeyEntered[] = "ravavade:270";
inline constexpr char kTagSessionKeyValue[] = "ravavade:274";
inline constexpr char kTagSessionKeyUnreadable[] = "ravavade:276";
inline constexpr char kTagSessionKeyRefused[] = "ravavade:282";

// Capture reply ("ravavade").
inline constexpr char kTagCaptureRefused[] = "ravavade:396";
inline constexpr char kTagSessionKeyPassed[] = "ravavade:408";
inline constexpr char kTagNoSessionKey[] = "ravavade:413";
inline constexpr char kTagTemplateLength[] = "ravavade:418";
inline constexpr char kTagCaptureData[] = "ravavade:433";
inline constexpr char kTagRawImage[] = "ravavade:452";
inline constexpr char kTagBmpCreation[] = "ravavade:460";
inline constexpr char kTagWsqImage[] = "ravavade:468";
inline constexpr char kTagBmpData[] = "ravavade:478";
inline constexpr char kTagTemplateDone[] = "ravavade:488";
inline constexpr char kTagReplyNotBuilt[] = "ravavade:490";
inline constexpr char kTagHeadersSent[] = "ravavade:512";

// Match ("ravavade").
inline constexpr char kTagMatchEntered[] = "ravavade:566";
inline constexpr char kTagTemplateRefused[] = "ravavade:596";
inline constexpr char kTagMatchScore[] = "ravavade:606";
inline constexpr char kTagMatchLeaving[] = "ravavade:629";

// Requests on the device thread: a busy reader, a connection that closed
// while its request ran.
inline constexpr char kTagDeviceRequests[] = "DeviceRequests";
