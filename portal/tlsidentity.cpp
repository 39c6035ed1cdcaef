#include "portal/tlsidentity.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "text/textfile.h"

namespace {

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// OpenSSL's text for the last error of this thread, or empty.
QString LastOpenSslError() {
  const unsigned long code = ERR_peek_last_error();
  if (code == 0) return {};
  const char* reason = ERR_reason_error_string(code);
  if (reason) return QString::fromUtf8(reason);
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return QString::fromUtf8(buffer);
}

// " (<detail>)", or nothing for an empty detail.
QString InParentheses(const QString& detail) {
  return detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
}

struct PassphraseRequest {
  const QByteArray* passphrase = nullptr;
  bool asked = false;
};

// Hands OpenSSL the pass phrase we hold; without a callback it would prompt on the terminal.
int GivePassphrase(char* buffer, int size, int /*rwflag*/, void* userdata) {
  auto* request = static_cast<PassphraseRequest*>(userdata);
  request->asked = true;
  if (!request->passphrase || size <= 0) return 0;
  const int n = static_cast<int>(std::min<qsizetype>(size, request->passphrase->size()));
  std::memcpy(buffer, request->passphrase->constData(), static_cast<size_t>(n));
  return n;
}

int RefusePassphrase(char*, int, int, void*) { return 0; }

}  // namespace

TlsIdentity::TlsIdentity() = default;
TlsIdentity::~TlsIdentity() = default;

void TlsIdentity::CertFree::operator()(X509* p) const { X509_free(p); }
void TlsIdentity::KeyFree::operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }

namespace {

QString CertUnreadableText(const QString& certFile, const QString& reason) {
  return QStringLiteral("cannot read certificate file %1: %2").arg(certFile, reason);
}

QString KeyUnreadableText(const QString& keyFile, const QString& reason) {
  return QStringLiteral("cannot read key file %1: %2").arg(keyFile, reason);
}

// Opens and closes the file: as cheap as a look-up, with the reason reading it would give.
bool Openable(const QString& path, QString* reason) {
  QFile file(path);
  if (file.open(QIODevice::ReadOnly) && file.error() == QFileDevice::NoError) return true;
  *reason = ReadFailureReason(path);
  return false;
}

}  // namespace

bool TlsIdentity::FilesReadable(const QString& certFile, const QString& keyFile, QString* error) {
  QString reason;
  if (!Openable(certFile, &reason)) {
    *error = CertUnreadableText(certFile, reason);
    return false;
  }
  if (!Openable(keyFile, &reason)) {
    *error = KeyUnreadableText(keyFile, reason);
    return false;
  }
  return true;
}

bool TlsIdentity::Load(const QString& certFile, const QString& keyFile,
                       const QByteArray& passphrase, QString* error) {
  // Both are kept only once both have been read and match: a failed load leaves none.
  cert_.reset();
  key_.reset();
  failure_ = Failure::None;
  reason_.clear();
  ERR_clear_error();
  const auto fail = [this, error](Failure failure, const QString& text) {
    failure_ = failure;
    *error = text;
    return false;
  };

  QByteArray certBytes;
  if (const FileOutcome read = ReadFileBytes(certFile, &certBytes); !read) {
    reason_ = read.reason;
    return fail(Failure::CertUnreadable, CertUnreadableText(certFile, read.reason));
  }
  std::unique_ptr<X509, CertFree> cert;
  {
    BioPtr bio(BIO_new_mem_buf(certBytes.constData(), static_cast<int>(certBytes.size())));
    if (bio) cert.reset(PEM_read_bio_X509(bio.get(), nullptr, RefusePassphrase, nullptr));
  }
  if (!cert) {
    const QString detail = LastOpenSslError();
    ERR_clear_error();
    return fail(Failure::CertNotPem,
                QStringLiteral("cannot read certificate file %1: no PEM certificate in it%2")
                    .arg(certFile, InParentheses(detail)));
  }

  QByteArray keyBytes;
  if (const FileOutcome read = ReadFileBytes(keyFile, &keyBytes); !read) {
    reason_ = read.reason;
    return fail(Failure::KeyUnreadable, KeyUnreadableText(keyFile, read.reason));
  }
  std::unique_ptr<EVP_PKEY, KeyFree> key;
  PassphraseRequest request{&passphrase, false};
  {
    BioPtr bio(BIO_new_mem_buf(keyBytes.constData(), static_cast<int>(keyBytes.size())));
    if (bio) key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &request));
  }
  const QString detail = LastOpenSslError();
  ERR_clear_error();
  if (!key) {
    if (request.asked && passphrase.isEmpty())
      return fail(Failure::NoPassphrase,
                  QStringLiteral("cannot read key file %1: it is encrypted and no pass phrase is set")
                      .arg(keyFile));
    if (request.asked)
      return fail(Failure::WrongPassphrase,
                  QStringLiteral("cannot read key file %1: wrong pass phrase").arg(keyFile));
    return fail(Failure::KeyNotPem, QStringLiteral("cannot read key file %1: no PEM private key in it%2")
                                        .arg(keyFile, InParentheses(detail)));
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return fail(Failure::KeyMismatch, QStringLiteral("key file %1 does not belong to certificate file %2")
                                          .arg(keyFile, certFile));
  }
  cert_ = std::move(cert);
  key_ = std::move(key);
  static std::atomic<quint64> loads{0};
  serial_ = ++loads;
  return true;
}
