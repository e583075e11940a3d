// The built-in Diffie-Hellman group of the TLS layer: a 2048-bit safe prime
// with generator 2, generated for this service (not a published group). A
// certificate file with its own "DH PARAMETERS" block uses that one instead.
#pragma once

inline constexpr const char* NS_DEFAULT_DH_PARAMS =
    "-----BEGIN DH PARAMETERS-----\n"
    "MIIBCAKCAQEAl5Cl/Vm0NaKyQ1APBV+W9fR17nVsIKrS0bqBALw4IBVNSMROwU6g\n"
    "tgbC8AWhQx8ugHq7xyjnzKLZrGcUpbYr8FPM8iP9Ahs+kT4hcjM3Ry+NHGQDpykG\n"
    "ngv0wEdHYOOCuzOhPXwCeM+LWXl2gYtuBr7QeeyHoTqJm5i0rfhvZKCaB4lnX7F+\n"
    "OdgLxfdkSj0LmH8ugQiKtmvsWnb8iZtcZZYH9uzHKsEW/hJZJxhrq6oliSTSsVNO\n"
    "v37NjoyTyB3GvIGJiN2p0quVNNI7u8s2i68cvhdpW+WrgIAN+h8IcTQrQaivV62/\n"
    "6XsmSbSwn3h0JFfs5MrXygCcn+HJ87Cl9wIBAg==\n"
    "-----END DH PARAMETERS-----\n";
