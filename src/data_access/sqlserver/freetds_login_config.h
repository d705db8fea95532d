// How the certificate check reaches the FreeTDS driver. Its connection string
// cannot name a CA file or ask for the host-name check, but its
// configuration file can: the file named by FREETDSCONF, whose section the
// connection string names with Servername=. While a LoginConfig lives, that
// file holds one section for the login under way:
//
//   [quellmark-login]
//       host = db01.example.net
//       port = 1433                 (or: instance = NAME)
//       encryption = require
//       ca file = <pinned copy>     check certificate hostname = no
//       ca file = system            check certificate hostname = yes
//
// It holds nothing secret (the password stays in the connection string).
// The file lives in a private folder (0700) made once per process, which
// FREETDSCONF names from the program's start-up on; a process-wide lock makes one login at a
// time use it, and the file is removed when the login is done.
#pragma once

#include <mutex>
#include <string>

#include "data_access/internal/layer_only.h"
#include "data_access/sqlserver/driver_connection_string.h"
#include "data_access/sqlserver/server_trust.h"

namespace quellmark::data_access::sqlserver {

// Makes the private folder and points FREETDSCONF at its file, once per
// process (quellmark::data_access::StartUp).
void StartDriverConfiguration();

class LoginConfig {
public:
    // Writes the section for a server at host and port (port unused with an
    // instance). Throws quellmark::data_access::Error for a host the file cannot carry
    // or a file that cannot be written.
    LoginConfig(const std::string& host, int port, const std::string& instance, const ServerTrust& trust);
    ~LoginConfig();
    LoginConfig(const LoginConfig&) = delete;
    LoginConfig& operator=(const LoginConfig&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace quellmark::data_access::sqlserver
