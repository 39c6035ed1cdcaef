#pragma once
// The client certificate with its key, decrypted once per run and shown by every connection
// of the HTTP client (portal/httpclient.h).

#include <QByteArray>
#include <QString>
#include <memory>

#include <openssl/types.h>

// The client certificate and its private key, read and checked with OpenSSL so that each way
// of failing gets its own text (curl reports a wrong pass phrase, a missing key and a key of
// another certificate alike). Once loaded it is never changed: OpenSSL's certificate and key
// objects are reference-counted and may be used by several connections on several threads.
class TlsIdentity {
 public:
  // Why a load failed.
  enum class Failure {
    None,
    CertUnreadable,   // missing, a folder, no access
    CertNotPem,       // read, but holds no PEM certificate
    KeyUnreadable,
    KeyNotPem,
    NoPassphrase,     // the key is encrypted and no pass phrase is set
    WrongPassphrase,
    KeyMismatch,      // the key belongs to another certificate
  };

  TlsIdentity();
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity&) = delete;
  TlsIdentity& operator=(const TlsIdentity&) = delete;

  // Reads both PEM files. The pass phrase is always handed over, so OpenSSL never asks for
  // one on the terminal. On failure returns false and leaves a readable reason in *error.
  bool Load(const QString& certFile, const QString& keyFile, const QByteArray& passphrase,
            QString* error);
  bool Loaded() const { return cert_ && key_; }
  // What the last Load found wrong, and the system's reason for an unreadable file.
  Failure LastFailure() const { return failure_; }
  const QString& LastReason() const { return reason_; }

  // Whether both files can still be opened, without decrypting anything: a run with an
  // identity loaded at its start still fails its attempts once a file has gone, with the
  // texts Load gives for an unreadable file.
  static bool FilesReadable(const QString& certFile, const QString& keyFile, QString* error);

  X509* Certificate() const { return cert_.get(); }
  EVP_PKEY* Key() const { return key_.get(); }
  // Different for every successful load in the process, 0 before one: connections and TLS
  // sessions made with one load are never used with another.
  quint64 Serial() const { return serial_; }

 private:
  struct CertFree {
    void operator()(X509* p) const;
  };
  struct KeyFree {
    void operator()(EVP_PKEY* p) const;
  };
  std::unique_ptr<X509, CertFree> cert_;
  std::unique_ptr<EVP_PKEY, KeyFree> key_;
  Failure failure_ = Failure::None;
  QString reason_;
  quint64 serial_ = 0;
};
