// The process-wide registry of named AMF3 class definitions.
//
// Append-only: a definition, once registered, stays for the life of the process (and keeps
// every member ever added to it). Lookup is by exact name; the first definition registered
// under a name is the one found. Safe for any number of threads at once (the RTMP reader
// and the callers that encode and convert). Tests and fuzzers may make private registries.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/mutex.h"
#include "lcds/amf/amf_class.h"

namespace Voro {

class AmfClassRegistry {
 public:
  AmfClassRegistry() = default;
  AmfClassRegistry(const AmfClassRegistry&) = delete;
  AmfClassRegistry& operator=(const AmfClassRegistry&) = delete;

  // The registry every encoder, decoder and conversion uses unless told otherwise.
  static AmfClassRegistry& Global();

  // A new definition; appended to the registry when `name` is not empty.
  std::shared_ptr<AmfClass> Create(std::string name, bool externalizable, bool dynamic,
                                   AmfMemberList members = {}) EXCLUDES(mutex_);
  // The registered definition named `name`; null when there is none or `name` is empty.
  std::shared_ptr<AmfClass> Find(std::string_view name) const EXCLUDES(mutex_);
  // Find, else Create with what `make_members` returns, in one step so that two threads
  // cannot register two definitions of one name. *created tells which happened.
  // REQUIRES: name is not empty.
  std::shared_ptr<AmfClass> FindOrCreate(std::string_view name, bool externalizable, bool dynamic,
                                         const std::function<AmfMemberList()>& make_members,
                                         bool* created) EXCLUDES(mutex_);
  size_t size() const EXCLUDES(mutex_);
  // Forgets every definition (each lives on while something else holds it): for the
  // library being unloaded, whose registry would otherwise keep them for good.
  void Clear() EXCLUDES(mutex_);

 private:
  mutable SharedMutex mutex_;
  std::vector<std::shared_ptr<AmfClass>> classes_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<AmfClass>, std::less<>> by_name_ GUARDED_BY(mutex_);
};

}  // namespace Voro
