#include "SocketErrorNumbers.h"

qint32 SocketErrorNumbers::FromQt(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError: return HostNotFound;
    case QAbstractSocket::ConnectionRefusedError: return ConnectionRefused;
    case QAbstractSocket::SocketTimeoutError: return TimedOut;
    case QAbstractSocket::RemoteHostClosedError: return ConnectionReset;
    case QAbstractSocket::NetworkError: return NetworkUnreachable;
    case QAbstractSocket::SocketAccessError: return AccessDenied;
    case QAbstractSocket::SocketResourceError: return NoBuffers;
    case QAbstractSocket::DatagramTooLargeError: return MessageTooLong;
    case QAbstractSocket::AddressInUseError: return AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError: return AddressNotAvailable;
    case QAbstractSocket::UnsupportedSocketOperationError: return NotSupported;
    case QAbstractSocket::TemporaryError: return WouldBlock;
    case QAbstractSocket::OperationError: return InvalidArgument;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
        return ConnectionRefused;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return ConnectionAborted;
    case QAbstractSocket::UnfinishedSocketOperationError:
        return WouldBlock;
    case QAbstractSocket::UnknownSocketError:
        break;
    }
    return ProtocolError;
}
