#ifndef SHA256STREAM_H
#define SHA256STREAM_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// SHA-256 of a byte stream. With OpenSSL's libcrypto (found at configure time) the
// processor's SHA instructions are used, several times the speed of Qt's own code: a
// package is hashed as a whole before every update, and that must cost little next to
// the update's own copies.
class Sha256Stream
{
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream &) = delete;
    Sha256Stream &operator=(const Sha256Stream &) = delete;

    void addData(const char *data, qint64 length);
    // The 32-byte digest; the stream starts afresh afterwards.
    QByteArray result();

    // Hashes the file at path in bounded reads; progress (if any) gets the bytes of
    // each read. False with *error set when it cannot be opened or read.
    static bool hashFile(const QString &path, QByteArray *digest, qint64 *size, QString *error,
                         const std::function<void(qint64)> &progress = {});

    // Which implementation this build uses ("OpenSSL" or "Qt"), for the benchmark.
    static QString implementation();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // SHA256STREAM_H
