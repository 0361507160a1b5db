#include "lcds/flex_message_classes.h"

#include <utility>

#include "diag/no_destructor.h"

namespace Voro {

namespace {

AmfMemberList AbstractMessageMembers() {
  return {
      {"body", AmfTypeHint::Any()},           {"clientId", AmfTypeHint::String()},
      {"destination", AmfTypeHint::String()}, {"headers", AmfTypeHint::Headers()},
      {"messageId", AmfTypeHint::String()},   {"timestamp", AmfTypeHint::Number()},
      {"timeToLive", AmfTypeHint::Number()},
  };
}

AmfMemberList AsyncMessageMembers() {
  AmfMemberList members = AbstractMessageMembers();
  members.push_back({"correlationId", AmfTypeHint::String()});
  return members;
}

AmfMemberList CommandMessageMembers() {
  AmfMemberList members = AsyncMessageMembers();
  members.push_back({"operation", AmfTypeHint::Integer()});
  return members;
}

AmfMemberList RemotingMessageMembers() {
  AmfMemberList members = AbstractMessageMembers();
  members.push_back({"source", AmfTypeHint::String()});
  members.push_back({"operation", AmfTypeHint::String()});
  return members;
}

std::shared_ptr<AmfClass> Register(AmfClassRegistry& registry, const char* name,
                                   AmfMemberList (*make_members)()) {
  bool created = false;
  std::shared_ptr<AmfClass> amf_class = registry.FindOrCreate(
      name, /*externalizable=*/false, /*dynamic=*/false, make_members, &created);
  if (!created) {
    for (const AmfClassMember& member : make_members()) {
      bool added = false;
      amf_class->EnsureMember(member.name, member.hint, &added);
    }
  }
  return amf_class;
}

}  // namespace

FlexMessageClasses RegisterFlexMessageClasses(AmfClassRegistry& registry) {
  FlexMessageClasses classes;
  classes.abstract_message = Register(registry, kAbstractMessageClassName, &AbstractMessageMembers);
  classes.async_message = Register(registry, kAsyncMessageClassName, &AsyncMessageMembers);
  classes.command_message = Register(registry, kCommandMessageClassName, &CommandMessageMembers);
  classes.remoting_message = Register(registry, kRemotingMessageClassName, &RemotingMessageMembers);
  return classes;
}

namespace {

FlexMessageClasses& Classes() {
  // A function-local static is initialised exactly once even when threads race to it.
  static NoDestructor<FlexMessageClasses> classes(
      RegisterFlexMessageClasses(AmfClassRegistry::Global()));
  return *classes;
}

}  // namespace

const FlexMessageClasses& GetFlexMessageClasses() { return Classes(); }

void ReleaseFlexMessageClasses() { Classes() = FlexMessageClasses{}; }

}  // namespace Voro
