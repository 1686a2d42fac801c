#include "package/sha256stream.h"

#include <QFile>

#ifdef CORVANE_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

namespace {
constexpr qint64 kReadSize = 1 << 20;
}

#ifdef CORVANE_HAVE_OPENSSL
struct Sha256Stream::Private
{
    Private() : context(EVP_MD_CTX_new()) { reset(); }
    ~Private() { EVP_MD_CTX_free(context); }
    void reset()
    {
        if (!context || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1)
            qFatal("SHA-256 is not available from libcrypto");
    }
    EVP_MD_CTX *context;
};

void Sha256Stream::addData(const char *data, qint64 length)
{
    EVP_DigestUpdate(d->context, data, size_t(length));
}

QByteArray Sha256Stream::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->context, reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.resize(int(length));
    d->reset();
    return digest;
}

QString Sha256Stream::implementation()
{
    return QStringLiteral("OpenSSL");
}
#else
struct Sha256Stream::Private
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

void Sha256Stream::addData(const char *data, qint64 length)
{
    d->hash.addData(data, int(length));
}

QByteArray Sha256Stream::result()
{
    const QByteArray digest = d->hash.result();
    d->hash.reset();
    return digest;
}

QString Sha256Stream::implementation()
{
    return QStringLiteral("Qt");
}
#endif

Sha256Stream::Sha256Stream()
    : d(std::make_unique<Private>())
{
}

Sha256Stream::~Sha256Stream() = default;

bool Sha256Stream::hashFile(const QString &path, QByteArray *digest, qint64 *size, QString *error,
                            const std::function<void(qint64)> &progress)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    Sha256Stream stream;
    QByteArray buffer(int(kReadSize), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = file.read(buffer.data(), kReadSize);
        if (read < 0) {
            *error = file.errorString();
            return false;
        }
        if (read == 0)
            break;
        stream.addData(buffer.constData(), read);
        total += read;
        if (progress)
            progress(read);
    }
    *digest = stream.result();
    *size = total;
    return true;
}
