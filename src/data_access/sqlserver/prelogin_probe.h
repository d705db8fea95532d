// Asking a SQL Server what it offers without logging in: a PRELOGIN request
// that asks for encryption, and, when the server offers it, the TLS
// handshake wrapped in PRELOGIN packets as a login makes it, only to read the
// server's certificate. The connection is closed after the handshake: no
// LOGIN7, no user name, password or Kerberos ticket is ever sent.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/certificate.h"

namespace quellmark::data_access::sqlserver {

enum class EncryptionOffer { Offered, NotOffered, Unknown };

struct ProbeResult {
    EncryptionOffer Encryption = EncryptionOffer::Unknown;
    // With `withCertificate` and an offer: the server's certificate first,
    // then the rest of the chain it sent; empty when the handshake failed.
    std::vector<Certificate> Chain;
    // Why the chain is empty, in plain words ("the server does not answer").
    std::string Problem;
};

// Waits at most `timeoutSeconds` in all, the host-name look-up included.
ProbeResult ProbeServer(const std::string& host, int port, int timeoutSeconds, bool withCertificate);
// Waits no longer than `deadline`.
ProbeResult ProbeServer(const std::string& host, int port, std::chrono::steady_clock::time_point deadline,
                        bool withCertificate);

}  // namespace quellmark::data_access::sqlserver
