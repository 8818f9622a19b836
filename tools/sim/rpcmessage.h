#pragma once

#include <QByteArray>

#include <rpc/rpc.h>

#include <deque>
#include <optional>

// ONC RPC (RFC 5531) as kestrel-sim serves it: call and reply headers, without
// authentication, and the record marking that frames messages on TCP. Arguments and
// results go through XDR routines (rpcgen's or libtirpc's) on memory buffers.
namespace kestrel::sim::rpc
{

struct Call {
    quint32 xid = 0;
    quint32 program = 0;
    quint32 version = 0;
    quint32 procedure = 0;
    QByteArray arguments; // still XDR-encoded
};

// A call message's header, or nothing when the message is no call of RPC version 2.
std::optional<Call> parseCall(const QByteArray& message);

enum class Accept : quint32 {
    Success = 0,
    ProgramUnavailable = 1,
    ProgramMismatch = 2, // `result` then holds the lowest and highest version served
    ProcedureUnavailable = 3,
    GarbageArguments = 4,
};

QByteArray reply(quint32 xid, Accept status, const QByteArray& result = {});
// The version range of a ProgramMismatch reply.
QByteArray versionRange(quint32 low, quint32 high);

// On TCP each message goes as fragments, each behind a word holding its length and, in
// the top bit, whether it is the last.
QByteArray recordMarked(const QByteArray& message);

class RecordReader
{
  public:
    // Adds received bytes; false once a message would exceed the limit (the peer is not
    // talking RPC, or is abusive).
    bool feed(QByteArrayView bytes);
    // The next complete message, in order.
    std::optional<QByteArray> next();

  private:
    QByteArray buffer_;
    QByteArray message_;
    std::deque<QByteArray> complete_;
};

// Arguments decoded by an XDR routine; what decoding allocated is freed with it.
template <typename T> class Decoded
{
  public:
    Decoded(const QByteArray& bytes, bool_t (*routine)(XDR*, T*)) : routine_(routine)
    {
        XDR xdr;
        xdrmem_create(&xdr, const_cast<char*>(bytes.constData()), u_int(bytes.size()), XDR_DECODE);
        ok_ = routine_(&xdr, &value);
        xdr_destroy(&xdr);
    }
    ~Decoded() { xdr_free(reinterpret_cast<xdrproc_t>(routine_), reinterpret_cast<char*>(&value)); }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    bool ok() const { return ok_; }

    T value{};

  private:
    bool_t (*routine_)(XDR*, T*);
    bool ok_ = false;
};

// A result encoded by an XDR routine; `capacity` must hold it.
template <typename T>
QByteArray encode(bool_t (*routine)(XDR*, T*), const T& value, qsizetype capacity = 64)
{
    QByteArray bytes(capacity, Qt::Uninitialized);
    XDR xdr;
    xdrmem_create(&xdr, bytes.data(), u_int(bytes.size()), XDR_ENCODE);
    const bool ok = routine(&xdr, const_cast<T*>(&value));
    bytes.truncate(ok ? qsizetype(xdr_getpos(&xdr)) : 0);
    xdr_destroy(&xdr);
    return bytes;
}

} // namespace kestrel::sim::rpc
