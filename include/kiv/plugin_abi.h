/* The records and function tables that cross the boundary between the host and the
 * kiv-login plugin.
 *
 * The layouts are fixed on a 32-bit target: every word is 4 bytes there and the
 * static_asserts at the end prove each size and offset. On a 64-bit target the same
 * declarations widen naturally (pointers become 8 bytes); both sides of the boundary are
 * compiled from this header, so they always agree.
 *
 * Ownership: a record that one side allocates is released only through the release
 * function that side placed in it. Texts are zero-terminated 8-bit strings.
 */
#ifndef KIV_PLUGIN_ABI_H_
#define KIV_PLUGIN_ABI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KIV_ALIGN8 alignas(8)
extern "C" {
#else
#include <stdbool.h>
#define KIV_ALIGN8 _Alignas(8)
#endif

/* ---- Dynamic values ------------------------------------------------------------------ */

/* Tags of BindingAbiValue. */
enum {
  KIV_ABI_EMPTY = 0,
  KIV_ABI_BOOL = 1,
  KIV_ABI_SIGNED = 2,
  KIV_ABI_UNSIGNED = 3,
  KIV_ABI_DOUBLE = 4,
  KIV_ABI_STRING_BORROWED = 5,
  KIV_ABI_STRING_OWNED = 6,
  KIV_ABI_BLOB_BORROWED = 7,
  KIV_ABI_BLOB_OWNED = 8,
  KIV_ABI_COLLECTION = 9,
  KIV_ABI_STRUCTURE = 10
};

/* Tags 5 to 10: a pointer and a count. */
typedef struct BindingAbiRef {
  const void* pointer;
  uint32_t count;
} BindingAbiRef;

/* A dynamic value in the host's wire form. The 8-byte alignment puts the payload at
 * offset 8 wherever the record is embedded, as the host expects. */
typedef struct BindingAbiValue {
  KIV_ALIGN8 uint32_t tag;
  uint32_t reserved;
  union {
    uint8_t boolean;
    int64_t i64;
    uint64_t u64;
    double f64;
    BindingAbiRef ref;
  } payload;
} BindingAbiValue;

/* One named (or, with a null name, positional) argument of a HostRequest. */
typedef struct BindingAbiNamedValue {
  const char* name;
  BindingAbiValue value;
} BindingAbiNamedValue;

/* One field of a structure value (tag 10). */
typedef struct BindingAbiStructEntry {
  const char* key;
  uint32_t reserved0;
  BindingAbiValue value;
  uint8_t owned_key;
  uint8_t reserved1[7];
} BindingAbiStructEntry;

/* ---- Requests and responses ------------------------------------------------------------ */

typedef struct HostHeaderPair {
  const char* name;
  const char* value;
} HostHeaderPair;

/* HTTP method codes; 8 is a custom method whose name travels as text. */
enum {
  KIV_METHOD_DELETE = 1,
  KIV_METHOD_GET = 2,
  KIV_METHOD_HEAD = 3,
  KIV_METHOD_OPTIONS = 4,
  KIV_METHOD_PATCH = 5,
  KIV_METHOD_POST = 6,
  KIV_METHOD_PUT = 7,
  KIV_METHOD_CUSTOM = 8
};

/* A request, plugin to host or host to plugin endpoint. The sender zero-fills it. */
typedef struct HostRequest {
  uint32_t method;
  const char* path;
  const BindingAbiNamedValue* arguments;
  uint32_t argument_count;
  const void* context; /* registration context of the endpoint; set by the host only */
  const HostHeaderPair* headers;
  uint32_t header_count;
  const char* content_type;
  const void* body;
  uint32_t body_length;
  void* plugin_handle;
  const char* method_text; /* for KIV_METHOD_CUSTOM */
} HostRequest;

/* Reads up to *size bytes of a streamed body into buffer. On return *size holds the bytes
 * delivered and *more tells whether further data follows. False means a read error. */
typedef bool (*HostStreamReadFn)(void* context, char* buffer, uint32_t* size, bool* more);
typedef void (*HostStreamCloseFn)(void* context);
struct HostResponse;
typedef void (*HostResponseReleaseFn)(struct HostResponse* response);

/* The answer to a HostRequest, zero-filled by the requester and filled by the answering
 * side, which also sets `release` so that the requester can hand it back. */
typedef struct HostResponse {
  BindingAbiValue body;
  char* error_text; /* null on success */
  uint32_t failed;
  uint8_t response_flag;
  uint8_t reserved0[3];
  uint32_t response_code;
  int32_t status_code;
  char* status_text;
  HostHeaderPair* headers;
  uint32_t header_count;
  HostStreamReadFn stream_read;
  HostStreamCloseFn stream_close;
  uint32_t stream_size_hint;
  uint32_t reserved1;
  void* stream_context;
  HostResponseReleaseFn release;
} HostResponse;

/* ---- External HTTP ---------------------------------------------------------------------- */

typedef struct HostExternalRequest {
  uint32_t method;
  const char* url;
  const HostHeaderPair* headers;
  uint32_t header_count;
  const char* body;
  uint32_t body_length;
  uint32_t timeout;
  uint8_t flag;
} HostExternalRequest;

struct HostExternalResponse;
typedef void (*HostExternalReleaseFn)(struct HostExternalResponse* response);

typedef struct HostExternalResponse {
  int32_t transport_code; /* -1 not set, 0 success, other values failures */
  int32_t http_status;
  const HostHeaderPair* headers;
  uint32_t header_count;
  const char* body;
  uint32_t body_length;
  HostExternalReleaseFn release;
} HostExternalResponse;

/* ---- Events ----------------------------------------------------------------------------- */

/* An event the host delivers to a subscription callback. */
typedef struct HostEvent {
  const char* name;
  BindingAbiValue payload;
  uint32_t reserved;
  void* user_data; /* as given to SubscribeEvent: the module */
} HostEvent;

/* An event the plugin publishes; zero-filled by the publisher. */
typedef struct PluginEvent {
  const char* name;
  BindingAbiValue payload;
  uint32_t pass_through;
  uint32_t reserved;
} PluginEvent;

typedef void (*HostEventCallback)(const HostEvent* event);
typedef void (*HostScheduledCallback)(void* user_data);

/* ---- Host services ------------------------------------------------------------------------ */

/* The host's function table. Every slot receives the table's own address first. */
typedef struct HostApi HostApi;
struct HostApi {
  void (*SendRequest)(HostApi* api, HostResponse* response, const HostRequest* request);
  void (*SendExternalRequest)(HostApi* api, HostExternalResponse* response,
                              const HostExternalRequest* request);
  void (*PublishEvent)(HostApi* api, const PluginEvent* event);
  int32_t (*SubscribeEvent)(HostApi* api, const char* event_name, void* plugin_handle,
                            HostEventCallback callback, void* user_data, uint32_t flag);
  int32_t (*UnsubscribeEvent)(HostApi* api, const char* event_name, void* plugin_handle);
  /* delay_seconds is never negative; zero is 0. */
  void (*ScheduleCallback)(HostApi* api, const char* label, HostScheduledCallback callback,
                           void* user_data, double delay_seconds, uint32_t zero);
  void (*Pump)(HostApi* api);
  void (*BeginWait)(HostApi* api, const char* label, uint32_t zero);
  void (*EndWait)(HostApi* api);
  void (*Log)(HostApi* api, int32_t level, const char* message);
};

typedef struct HostServices {
  HostApi* api;
  void* plugin_handle; /* opaque; passed back in the calls that ask for it */
} HostServices;

/* ---- Plugin side -------------------------------------------------------------------------- */

typedef struct PluginMemoryStats {
  uint64_t peak_live_bytes;
  uint64_t live_allocations_at_peak;
  uint64_t bytes_allocated;
  uint64_t allocations;
  uint64_t bytes_freed;
  uint64_t frees;
  uint32_t zero[2];
} PluginMemoryStats;

typedef struct PluginCallbacks {
  bool (*Initialize)(void* module, HostServices* services);
  void (*Shutdown)(void* module);
  void (*GetMemoryStats)(void* module, PluginMemoryStats* stats);
} PluginCallbacks;

struct ApiTable;

/* Words 0-2 carry the host's plugin API version in and the plugin's out. */
typedef struct PluginDescriptor {
  uint32_t major;
  uint32_t minor;
  uint32_t patch;
  const PluginCallbacks* callbacks;
  void* module;
  const char* short_name;
  const struct ApiTable* api;
} PluginDescriptor;

typedef void (*PluginCreateFn)(PluginDescriptor* descriptor);
/* Receives one finished XML event document; returns non-zero on success. */
typedef int32_t (*NativeEventCallback)(const char* document);
typedef NativeEventCallback (*RegisterNativeEventCallbackFn)(NativeEventCallback callback);
typedef void (*EnableEventXMLLogTargetFn)(void);

/* ---- API table, built by the plugin's router ------------------------------------------------
 * In each array the first word of every record points to the next record (null in the last);
 * the count is given as well. Everything stays valid for the plugin's life. */

typedef void (*HostRequestCallback)(HostResponse* response, const HostRequest* request);

typedef struct ApiParameterRecord {
  const struct ApiParameterRecord* next;
  const char* name;
  const char* description;
  uint32_t kind;
  uint32_t element_kind;
  const char* type_name;
  uint8_t optional;
  uint8_t reserved[3];
} ApiParameterRecord;

typedef struct ApiParameterLocation {
  const struct ApiParameterLocation* next;
  uint32_t location; /* 1 to 5, other codes as 0 */
} ApiParameterLocation;

typedef struct ApiTextList {
  const struct ApiTextList* next;
  const char* const* texts;
  uint32_t count;
} ApiTextList;

typedef struct ApiEndpointRecord {
  const struct ApiEndpointRecord* next;
  uint32_t zero;
  const void* context; /* handed back in HostRequest.context */
  const char* name;
  const char* name_space;
  const ApiParameterRecord* parameters;
  uint32_t parameter_count;
  uint32_t return_kind;
  uint32_t return_element_kind;
  const char* return_type_name;
  const char* description;
  const char* help;
  uint8_t thread_safe;
  uint8_t reserved[3];
  const char* async_type_name;
  const char* const* tags;
  uint32_t tag_count;
  HostRequestCallback callback;
  const ApiParameterLocation* locations;
  const char* path;
  uint32_t method;
  uint32_t extra;
  const ApiTextList* text_lists;
  uint32_t text_list_count;
  const char* method_text;
} ApiEndpointRecord;

typedef struct ApiFieldRecord {
  const struct ApiFieldRecord* next;
  const char* name;
  const char* description;
  uint32_t offset;
  uint32_t kind;
  uint32_t element_kind;
  const char* type_name;
  uint8_t optional;
  uint8_t reserved[3];
} ApiFieldRecord;

typedef struct ApiEnumValueRecord {
  const struct ApiEnumValueRecord* next;
  const char* name;
  const char* description;
  int32_t value;
} ApiEnumValueRecord;

typedef struct ApiTypeRecord {
  const struct ApiTypeRecord* next;
  const char* name;
  const char* name_space;
  uint32_t size;
  const char* description;
  const char* const* tags;
  uint32_t tag_count;
  const ApiFieldRecord* fields;
  const ApiEnumValueRecord* values;
  uint32_t member_count;
} ApiTypeRecord;

typedef struct ApiEventRecord {
  const struct ApiEventRecord* next;
  const char* name;
  const char* name_space;
  const char* payload_type_name;
  const char* description;
  const char* const* tags;
  uint32_t tag_count;
} ApiEventRecord;

typedef struct ApiTable {
  const ApiEndpointRecord* endpoints;
  uint32_t endpoint_count;
  const ApiTypeRecord* types;
  uint32_t type_count;
  const ApiEventRecord* events;
  uint32_t event_count;
} ApiTable;

#ifdef __cplusplus
} /* extern "C" */
#define KIV_STATIC_ASSERT static_assert
#define KIV_ALIGNOF alignof
#else
#define KIV_STATIC_ASSERT _Static_assert
#define KIV_ALIGNOF _Alignof
#endif

/* ---- The 32-bit layout ---------------------------------------------------------------------- */
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
#define KIV_LAYOUT(type, field, off) \
  KIV_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " at " #off)
#define KIV_SIZE(type, size) KIV_STATIC_ASSERT(sizeof(type) == (size), #type " is " #size " bytes")

KIV_SIZE(BindingAbiValue, 16);
KIV_LAYOUT(BindingAbiValue, tag, 0);
KIV_LAYOUT(BindingAbiValue, reserved, 4);
KIV_LAYOUT(BindingAbiValue, payload, 8);
KIV_STATIC_ASSERT(KIV_ALIGNOF(BindingAbiValue) == 8, "BindingAbiValue is 8-aligned");
KIV_SIZE(BindingAbiNamedValue, 24);
KIV_LAYOUT(BindingAbiNamedValue, value, 8);
KIV_SIZE(BindingAbiStructEntry, 32);
KIV_LAYOUT(BindingAbiStructEntry, value, 8);
KIV_LAYOUT(BindingAbiStructEntry, owned_key, 24);

KIV_SIZE(HostRequest, 48);
KIV_LAYOUT(HostRequest, path, 4);
KIV_LAYOUT(HostRequest, arguments, 8);
KIV_LAYOUT(HostRequest, argument_count, 12);
KIV_LAYOUT(HostRequest, context, 16);
KIV_LAYOUT(HostRequest, headers, 20);
KIV_LAYOUT(HostRequest, header_count, 24);
KIV_LAYOUT(HostRequest, content_type, 28);
KIV_LAYOUT(HostRequest, body, 32);
KIV_LAYOUT(HostRequest, body_length, 36);
KIV_LAYOUT(HostRequest, plugin_handle, 40);
KIV_LAYOUT(HostRequest, method_text, 44);

KIV_SIZE(HostResponse, 72);
KIV_LAYOUT(HostResponse, error_text, 16);
KIV_LAYOUT(HostResponse, failed, 20);
KIV_LAYOUT(HostResponse, response_flag, 24);
KIV_LAYOUT(HostResponse, response_code, 28);
KIV_LAYOUT(HostResponse, status_code, 32);
KIV_LAYOUT(HostResponse, status_text, 36);
KIV_LAYOUT(HostResponse, headers, 40);
KIV_LAYOUT(HostResponse, header_count, 44);
KIV_LAYOUT(HostResponse, stream_read, 48);
KIV_LAYOUT(HostResponse, stream_close, 52);
KIV_LAYOUT(HostResponse, stream_size_hint, 56);
KIV_LAYOUT(HostResponse, reserved1, 60);
KIV_LAYOUT(HostResponse, stream_context, 64);
KIV_LAYOUT(HostResponse, release, 68);

KIV_SIZE(HostHeaderPair, 8);
KIV_SIZE(HostExternalRequest, 32);
KIV_LAYOUT(HostExternalRequest, url, 4);
KIV_LAYOUT(HostExternalRequest, headers, 8);
KIV_LAYOUT(HostExternalRequest, header_count, 12);
KIV_LAYOUT(HostExternalRequest, body, 16);
KIV_LAYOUT(HostExternalRequest, body_length, 20);
KIV_LAYOUT(HostExternalRequest, timeout, 24);
KIV_LAYOUT(HostExternalRequest, flag, 28);
KIV_SIZE(HostExternalResponse, 28);
KIV_LAYOUT(HostExternalResponse, http_status, 4);
KIV_LAYOUT(HostExternalResponse, headers, 8);
KIV_LAYOUT(HostExternalResponse, header_count, 12);
KIV_LAYOUT(HostExternalResponse, body, 16);
KIV_LAYOUT(HostExternalResponse, body_length, 20);
KIV_LAYOUT(HostExternalResponse, release, 24);

KIV_SIZE(HostEvent, 32);
KIV_LAYOUT(HostEvent, payload, 8);
KIV_LAYOUT(HostEvent, user_data, 28);
KIV_SIZE(PluginEvent, 32);
KIV_LAYOUT(PluginEvent, payload, 8);
KIV_LAYOUT(PluginEvent, pass_through, 24);

KIV_SIZE(HostApi, 40);
KIV_LAYOUT(HostApi, SendRequest, 0);
KIV_LAYOUT(HostApi, SendExternalRequest, 4);
KIV_LAYOUT(HostApi, PublishEvent, 8);
KIV_LAYOUT(HostApi, SubscribeEvent, 12);
KIV_LAYOUT(HostApi, UnsubscribeEvent, 16);
KIV_LAYOUT(HostApi, ScheduleCallback, 20);
KIV_LAYOUT(HostApi, Pump, 24);
KIV_LAYOUT(HostApi, BeginWait, 28);
KIV_LAYOUT(HostApi, EndWait, 32);
KIV_LAYOUT(HostApi, Log, 36);
KIV_SIZE(HostServices, 8);

KIV_SIZE(PluginMemoryStats, 56);
KIV_LAYOUT(PluginMemoryStats, frees, 40);
KIV_LAYOUT(PluginMemoryStats, zero, 48);
KIV_SIZE(PluginCallbacks, 12);
KIV_SIZE(PluginDescriptor, 28);
KIV_LAYOUT(PluginDescriptor, callbacks, 12);
KIV_LAYOUT(PluginDescriptor, module, 16);
KIV_LAYOUT(PluginDescriptor, short_name, 20);
KIV_LAYOUT(PluginDescriptor, api, 24);

KIV_SIZE(ApiTable, 24);
KIV_SIZE(ApiEndpointRecord, 96);
KIV_LAYOUT(ApiEndpointRecord, context, 8);
KIV_LAYOUT(ApiEndpointRecord, name, 12);
KIV_LAYOUT(ApiEndpointRecord, name_space, 16);
KIV_LAYOUT(ApiEndpointRecord, parameters, 20);
KIV_LAYOUT(ApiEndpointRecord, parameter_count, 24);
KIV_LAYOUT(ApiEndpointRecord, return_kind, 28);
KIV_LAYOUT(ApiEndpointRecord, return_element_kind, 32);
KIV_LAYOUT(ApiEndpointRecord, return_type_name, 36);
KIV_LAYOUT(ApiEndpointRecord, description, 40);
KIV_LAYOUT(ApiEndpointRecord, help, 44);
KIV_LAYOUT(ApiEndpointRecord, thread_safe, 48);
KIV_LAYOUT(ApiEndpointRecord, async_type_name, 52);
KIV_LAYOUT(ApiEndpointRecord, tags, 56);
KIV_LAYOUT(ApiEndpointRecord, tag_count, 60);
KIV_LAYOUT(ApiEndpointRecord, callback, 64);
KIV_LAYOUT(ApiEndpointRecord, locations, 68);
KIV_LAYOUT(ApiEndpointRecord, path, 72);
KIV_LAYOUT(ApiEndpointRecord, method, 76);
KIV_LAYOUT(ApiEndpointRecord, extra, 80);
KIV_LAYOUT(ApiEndpointRecord, text_lists, 84);
KIV_LAYOUT(ApiEndpointRecord, text_list_count, 88);
KIV_LAYOUT(ApiEndpointRecord, method_text, 92);
KIV_SIZE(ApiParameterRecord, 28);
KIV_LAYOUT(ApiParameterRecord, type_name, 20);
KIV_LAYOUT(ApiParameterRecord, optional, 24);
KIV_SIZE(ApiParameterLocation, 8);
KIV_SIZE(ApiTextList, 12);
KIV_SIZE(ApiTypeRecord, 40);
KIV_LAYOUT(ApiTypeRecord, size, 12);
KIV_LAYOUT(ApiTypeRecord, fields, 28);
KIV_LAYOUT(ApiTypeRecord, values, 32);
KIV_LAYOUT(ApiTypeRecord, member_count, 36);
KIV_SIZE(ApiFieldRecord, 32);
KIV_LAYOUT(ApiFieldRecord, offset, 12);
KIV_LAYOUT(ApiFieldRecord, type_name, 24);
KIV_LAYOUT(ApiFieldRecord, optional, 28);
KIV_SIZE(ApiEnumValueRecord, 16);
KIV_LAYOUT(ApiEnumValueRecord, value, 12);
KIV_SIZE(ApiEventRecord, 28);
KIV_LAYOUT(ApiEventRecord, payload_type_name, 12);
KIV_LAYOUT(ApiEventRecord, tag_count, 24);

#undef KIV_LAYOUT
#undef KIV_SIZE
#endif /* 32-bit layout */

#endif /* KIV_PLUGIN_ABI_H_ */
