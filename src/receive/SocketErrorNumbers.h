#pragma once
#include <QAbstractSocket>

/// The socket error numbers the engine reasons about (the Windows socket numbers:
/// host not found 11001, refused 10061 ...), so that error handling and the
/// messages built on them do not depend on Qt's enumeration.
namespace SocketErrorNumbers {
constexpr qint32 HostNotFound = 11001;
constexpr qint32 ConnectionRefused = 10061;
constexpr qint32 TimedOut = 10060;
constexpr qint32 ConnectionReset = 10054;
constexpr qint32 ConnectionAborted = 10053;
constexpr qint32 NetworkUnreachable = 10051;
constexpr qint32 NetworkDown = 10050;
constexpr qint32 NotConnected = 10057;
constexpr qint32 AccessDenied = 10013;
constexpr qint32 InvalidArgument = 10022;
constexpr qint32 NoBuffers = 10055;
constexpr qint32 AddressInUse = 10048;
constexpr qint32 AddressNotAvailable = 10049;
constexpr qint32 MessageTooLong = 10040;
constexpr qint32 NotSupported = 10045;
constexpr qint32 WouldBlock = 10035;
constexpr qint32 ProtocolError = 10071;

/// The number for a Qt socket error.
qint32 FromQt(QAbstractSocket::SocketError error);
}
