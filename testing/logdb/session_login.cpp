#include <algorithm>
#include <atomic>
#include <iostream>

#include "logdb/kerberos_acceptor.h"
#include "logdb/login_text.h"
#include "logdb/session.h"

namespace quellmark::logdb {
namespace {

std::atomic<std::uint16_t> gNextSpid{51};

std::uint32_t NegotiatedVersion(std::uint32_t client) {
    if (client >= version::k74) return version::k74;
    if (client >= 0x730B0003) return 0x730B0003;
    if (client >= 0x730A0003) return 0x730A0003;
    if (client >= version::k72) return version::k72;
    return version::k71;
}

// The ENCRYPTION answer to a client's PRELOGIN, as SQL Server gives it.
std::uint8_t EncryptionAnswer(Encryption server, std::uint8_t client) {
    if (server == Encryption::None) return encrypt::kNotSupported;
    if (client == encrypt::kOn || client == encrypt::kRequired) return encrypt::kOn;
    if (server == Encryption::Forced) return encrypt::kRequired;
    return client == encrypt::kOff ? encrypt::kOff : encrypt::kNotSupported;
}

}  // namespace

std::uint16_t Session::NextSpid() {
    const std::uint16_t spid = gNextSpid++;
    return spid < 51 ? 51 : spid;
}

void Session::Drain() {
    std::uint8_t byte = 0;
    while (channel_.Read(&byte, 1)) {
    }
}

void Session::Send(TokenWriter& tokens) {
    WriteMessage(channel_, packet::kReply, tokens.Bytes(), packetSize_, spid_);
    tokens.Bytes().clear();
}

// PRELOGIN, then the TLS handshake when both sides agreed on
// encryption. False when the client left.
bool Session::Prelogin(Message& message) {
    const std::uint8_t answer = EncryptionAnswer(options_.encryption, PreloginEncryption(message.payload));
    WriteMessage(channel_, packet::kReply, PreloginReply(answer), kLoginPacketSize, spid_);
    if (answer != encrypt::kNotSupported) channel_.StartTls(tls_->Get(), spid_, answer == encrypt::kOff);
    return ReadMessage(channel_, message, kMaxLoginBytes);
}

// The login name of an integrated-security login, or nullopt when its
// token is refused (the answer is then written to `tokens`).
std::optional<std::string> Session::KerberosLoginName(const Login7& login, TokenWriter& tokens) {
    if (options_.kerberosKeytab.empty()) {
        if (options_.logStatements) std::cerr << "connection " << spid_ << ": no --kerberos-keytab\n";
        return std::nullopt;
    }
    const KerberosLogin kerberos = AcceptKerberosToken(options_.kerberosKeytab, login.sspi);
    if (!kerberos.accepted) {
        if (options_.logStatements)
            std::cerr << "connection " << spid_ << ": Kerberos token refused: " << kerberos.problem << '\n';
        return std::nullopt;
    }
    if (!kerberos.answer.empty()) tokens.Sspi(kerberos.answer);
    return LoginNameOf(kerberos.principal);
}

bool Session::Login() {
    Message message;
    if (!ReadMessage(channel_, message, kMaxLoginBytes)) return false;
    if (message.type == packet::kPrelogin && !Prelogin(message)) return false;
    if (message.type != packet::kLogin7) throw ProtocolError("expected a LOGIN7 request");
    if (options_.encryption == Encryption::Forced && !channel_.Encrypted())
        throw ProtocolError("a login without encryption, which this server requires");
    Login7 login = ParseLogin7(message.payload);
    if (login.tdsVersion < 0x71000000) throw ProtocolError("TDS versions before 7.1 are not served");
    version_ = NegotiatedVersion(login.tdsVersion);
    database_ = login.database.empty() ? options_.database : login.database;
    TokenWriter tokens(version_);
    packetSize_ = kLoginPacketSize;  // the login reply travels in packets of the initial size
    std::optional<std::string> name = login.userName;
    bool credentialsOk = false;
    if (login.integratedSecurity) {
        name = KerberosLoginName(login, tokens);
        credentialsOk = name.has_value();
    } else {
        // As SQL Server does: UTF-16 text, the password unit for unit.
        credentialsOk = login.passwordUnits == Utf16Of(options_.password);
    }
    if (loginLog_.Enabled())
        loginLog_.Line(std::to_string(spid_) + ' ' + (name && !name->empty() ? *name : "-") +
                       (login.integratedSecurity ? " kerberos" : " sql"));
    std::fill(login.password.begin(), login.password.end(), '\0');
    std::fill(login.passwordUnits.begin(), login.passwordUnits.end(), u'\0');
    if (!name) {
        tokens.Error(18452, 1, 14,
                     "Login failed. The login is from an untrusted domain and cannot be used with Integrated "
                     "authentication.",
                     kServerName);
        tokens.Done(done::kError, 0, 0);
        Send(tokens);
        return false;
    }
    credentialsOk = credentialsOk && !options_.refuseLogin &&
                    SameName(login.integratedSecurity ? Utf16Of(*name) : login.userUnits, Utf16Of(options_.user));
    const bool databaseOk = login.databaseUnits.empty() || SameName(login.databaseUnits, Utf16Of(options_.database));
    if (!credentialsOk || !databaseOk) {
        if (credentialsOk)
            tokens.Error(4060, 1, 11,
                         "Cannot open database \"" + database_ + "\" requested by the login. The login failed.",
                         kServerName);
        tokens.Error(18456, 1, 14, "Login failed for user '" + *name + "'.", kServerName);
        tokens.Done(done::kError, 0, 0);
        Send(tokens);
        return false;
    }
    loginName_ = *name;
    database_ = options_.database;
    tokens.EnvChange(1, database_, "master");
    tokens.Info(5701, 2, 0, "Changed database context to '" + database_ + "'.", kServerName);
    tokens.EnvChangeCollation(TokenWriter::kCollation);
    tokens.EnvChange(2, "us_english", "");
    tokens.Info(5703, 1, 0, "Changed language setting to us_english.", kServerName);
    tokens.LoginAck("Microsoft SQL Server", 16, 0, 1000);
    const std::size_t requested =
        login.packetSize == 0 ? kLoginPacketSize : std::clamp<std::size_t>(login.packetSize, 512, 32767);
    const std::string size = std::to_string(requested);
    tokens.EnvChange(4, size, size);
    tokens.Done(0, 0, 0);
    stats_.Event(spid_, "login");
    Send(tokens);
    packetSize_ = requested;
    return true;
}

}  // namespace quellmark::logdb
