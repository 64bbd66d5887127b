#pragma once

#include <QString>

#include <optional>

class QNetworkReply;

namespace velmo::platform::qt {

// The certificates of a PEM file join the authorities every https connection of this process
// trusts, beside the system's. Call it before the exchanges and streams are made, from the
// thread that made the application object: a network manager keeps the TLS settings its first
// connection to a host had.
// Verification stays on; a server whose chain leads to none of them is still refused.
// Returns why not (file unreadable, no certificate in it, no TLS in this Qt) or nothing.
std::optional<QString> trustCertificatesIn(const QString& pem_file);

// Says on stderr, once for each distinct failure in the process, why a TLS connection of
// `reply` was refused (an untrusted or mismatched certificate, say): the core only learns that
// the request failed, and a retry every few seconds must not fill the log. Any thread.
void reportTlsFailures(QNetworkReply* reply);

} // namespace velmo::platform::qt
