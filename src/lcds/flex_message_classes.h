// The AMF3 class definitions of the Flex messages exchanged with the platform server.
//
// Four sealed classes, neither externalizable nor dynamic. Their member order is the order
// of the traits on the wire:
//   AbstractMessage: body, clientId, destination, headers, messageId, timestamp, timeToLive
//   AsyncMessage:    AbstractMessage's seven, correlationId
//   CommandMessage:  AsyncMessage's eight, operation
//   RemotingMessage: AbstractMessage's seven, source, operation
#pragma once

#include <memory>

#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"

namespace Voro {

inline constexpr char kAbstractMessageClassName[] = "flex.messaging.messages.AbstractMessage";
inline constexpr char kAsyncMessageClassName[] = "flex.messaging.messages.AsyncMessage";
inline constexpr char kCommandMessageClassName[] = "flex.messaging.messages.CommandMessage";
inline constexpr char kRemotingMessageClassName[] = "flex.messaging.messages.RemotingMessage";

struct FlexMessageClasses {
  std::shared_ptr<AmfClass> abstract_message;
  std::shared_ptr<AmfClass> async_message;
  std::shared_ptr<AmfClass> command_message;
  std::shared_ptr<AmfClass> remoting_message;
};

// The four definitions in the process-wide registry, registered on the first call (once,
// whichever thread gets there first). Any thread; the result lives for the process.
const FlexMessageClasses& GetFlexMessageClasses();
// Lets go of the four definitions: for the library being unloaded.
void ReleaseFlexMessageClasses();

// The four definitions in `registry`: each is registered when the name is new. A definition
// already registered under one of the names (one learnt from the wire, say) is kept and
// given whichever of our members it lacks, appended, so that there is one definition per
// name. Any thread.
FlexMessageClasses RegisterFlexMessageClasses(AmfClassRegistry& registry);

}  // namespace Voro
