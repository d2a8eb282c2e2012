// Out-of-line members of the communication interfaces. Compiled into every library that
// implements them, which then exports them.

#include <varnak/comminterfaces.h>

namespace comm {

ISocket::ISocket() = default;
ISocket::ISocket(const ISocket&) = default;
ISocket& ISocket::operator=(const ISocket&) = default;
ISocket::~ISocket() = default;

ISendableMessage::ISendableMessage() = default;
ISendableMessage::ISendableMessage(const ISendableMessage&) = default;
ISendableMessage& ISendableMessage::operator=(const ISendableMessage&) = default;
ISendableMessage::~ISendableMessage() = default;

IReceivableMessage::IReceivableMessage() = default;
IReceivableMessage::IReceivableMessage(const IReceivableMessage&) = default;
IReceivableMessage& IReceivableMessage::operator=(const IReceivableMessage&) = default;
IReceivableMessage::~IReceivableMessage() = default;

}  // namespace comm
