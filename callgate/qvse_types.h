/* Types shared by clients, the gateway libqvcg and the engine libqvse.
 *
 * Text crosses the boundary as (pointer, length) pairs: narrow text is UTF-8
 * with a byte length, wide text is UTF-32 in a 4-byte wchar_t with a length in
 * code units. No terminator is needed on input and none is written into caller
 * buffers; texts handed to callbacks are NUL-terminated as well.
 *
 * A context handle is a void* chosen by the client; it names one message
 * context and is never dereferenced by the gateway or the engine. */
#ifndef QVSE_TYPES_H
#define QVSE_TYPES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* File name of the engine library inside the engine directory. */
#define QVSE_ENGINE_LIBRARY_NAME "libqvse.so"

/* Result codes. 0x1xxxx come only from the gateway, 0x3xxxx from the engine's
 * per-message checks, 0x4xxxx from the engine's network layer (also as the
 * status of network_completed). The gateway passes engine codes unchanged. */
enum {
    /* Success. */
    QVSE_OK = 0,
    /* An unexpected exception (traced); the engine could not parse the
     * message, convert its HTML or extract its URIs; the gateway could not
     * open, look up, resolve or close the library, or an update step failed. */
    QVSE_E_FAILED = 1,
    /* An allocation failed. Nothing is traced. */
    QVSE_E_OUT_OF_MEMORY = 2,
    /* QVSE_Engine_Update met a file-system error EACCES. */
    QVSE_E_ACCESS_DENIED = 3,
    /* The engine or update directory is missing or not a directory, the
     * engine library is not in it, or a file to bind cannot be opened. */
    QVSE_E_NOT_FOUND = 4,
    /* The version buffers are too short; the needed lengths are returned. */
    QVSE_E_BUFFER_TOO_SMALL = 5,
    /* A null pointer, a callback table whose size is not 96, a required
     * callback missing, a zero timeout, a touch value over 100, or an update
     * directory equal to the engine directory. */
    QVSE_E_INVALID_ARGUMENT = 6,
    /* No context exists with this handle. */
    QVSE_E_UNKNOWN_CONTEXT = 7,
    /* create: the handle exists already; destroy: the context is locked or
     * referenced by a call or a request in flight; shutdown: contexts exist. */
    QVSE_E_IN_USE = 8,
    /* The engine library is not loaded. */
    QVSE_E_NOT_LOADED = 0x10000,
    /* Initialise was called while the engine is loaded. */
    QVSE_E_ALREADY_INITIALIZED = 0x10001,
    /* The context holds no message. */
    QVSE_E_NO_MESSAGE = 0x30000,
    /* The context already holds a message. */
    QVSE_E_MESSAGE_BOUND = 0x30001,
    /* The request's deadline passed. */
    QVSE_E_DEADLINE_EXPIRED = 0x40000,
    /* The host name did not resolve, or no server is known. */
    QVSE_E_NO_SERVERS = 0x40001,
    /* Every server of the plan was tried without an answer. */
    QVSE_E_SERVERS_EXHAUSTED = 0x40002,
    /* A reply was malformed or unexpected. */
    QVSE_E_BAD_RESPONSE = 0x40003,
    /* The server refused the credentials. */
    QVSE_E_INVALID_CREDENTIALS = 0x40004,
    /* The server refused the size of the request. */
    QVSE_E_PAYLOAD_TOO_LARGE = 0x40005
};

/* Trace levels: the first argument of trace and context_trace. Indent 0 is a
 * heading, 1 an item, one more for continuation lines. */
enum {
    QVSE_TRACE_FAILURE = 0,
    QVSE_TRACE_ERROR = 1,
    QVSE_TRACE_WARNING = 2,
    QVSE_TRACE_INFO = 3,
    QVSE_TRACE_DETAIL = 4
};

/* Text stages: the stage of text_stage, reported in the order HTML, PLAIN,
 * URIS_REMOVED, NORMALIZED, FOLDED; the first two are also the source of a
 * URI given to uri_found (link in markup, or found in the text). */
enum {
    QVSE_TEXT_HTML = 0x20000,
    QVSE_TEXT_PLAIN = 0x10000,
    QVSE_TEXT_URIS_REMOVED = 2,
    QVSE_TEXT_NORMALIZED = 1,
    QVSE_TEXT_FOLDED = 0
};

/* The host callback table. A null slot means the event is not wanted, except
 * stream_read for stream binding, network_completed for asynchronous network
 * requests and the two language slots for the two language calls, which then
 * fail with QVSE_E_INVALID_ARGUMENT. The gateway copies the table whole on
 * initialise, so the caller's table may be a temporary. */
typedef struct qvse_callbacks {
    /* Always 96. */
    size_t size;
    /* Lines that belong to no context; gateway or engine, on the calling
     * thread, the engine's network thread or the update monitor thread. */
    void (*trace)(uint32_t level, const wchar_t* facility, size_t facility_length, uint32_t indent,
                  const wchar_t* text, size_t text_length);
    /* After every reload attempt of a live update, on the update monitor. */
    void (*update_completed)(void);
    /* Lines about one context; null drops them (no fallback to trace). */
    void (*context_trace)(void* context, uint32_t level, const wchar_t* facility,
                          size_t facility_length, uint32_t indent, const wchar_t* text,
                          size_t text_length);
    /* End of an asynchronous request, on the network thread; status is a
     * result code. */
    void (*network_completed)(void* context, uint32_t status);
    /* After each socket write (n, 0) and read (0, n), on the network thread. */
    void (*network_traffic)(size_t bytes_sent, size_t bytes_received);
    /* Source of a stream-bound message: at most max_length bytes at offset
     * through data and length; max_length -1 asks for any amount (size
     * probe); false means end of source. */
    bool (*stream_read)(void* context, int64_t offset, int64_t max_length, const char** data,
                        int64_t* length);
    /* The message text at each extraction stage. */
    void (*text_stage)(void* context, uint32_t stage, const wchar_t* text, size_t length);
    /* Each new URI; source is QVSE_TEXT_HTML or QVSE_TEXT_PLAIN. */
    void (*uri_found)(void* context, uint32_t source, const wchar_t* uri, size_t length);
    /* Each fingerprint made by preparation; the category is three letters. */
    void (*fingerprint_generated)(void* context, const wchar_t* category, size_t category_length,
                                  const wchar_t* value, size_t value_length);
    /* One known language per call. */
    void (*language_enumerated)(const wchar_t* language, size_t language_length, uint32_t words,
                                uint32_t codepoints);
    /* Each leading language of the message. */
    void (*language_classified)(void* context, const wchar_t* language, size_t language_length,
                                uint32_t matched, uint32_t total);
} qvse_callbacks_t;

#ifdef __cplusplus
}
#define QVSE_STATIC_ASSERT static_assert
#else
#define QVSE_STATIC_ASSERT _Static_assert
#endif

QVSE_STATIC_ASSERT(sizeof(wchar_t) == 4, "wide text is UTF-32");
QVSE_STATIC_ASSERT(sizeof(qvse_callbacks_t) == 96, "the callback table is 96 bytes");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, size) == 0, "slot 0");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, trace) == 8, "slot 1");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, update_completed) == 16, "slot 2");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, context_trace) == 24, "slot 3");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, network_completed) == 32, "slot 4");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, network_traffic) == 40, "slot 5");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, stream_read) == 48, "slot 6");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, text_stage) == 56, "slot 7");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, uri_found) == 64, "slot 8");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, fingerprint_generated) == 72, "slot 9");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, language_enumerated) == 80, "slot 10");
QVSE_STATIC_ASSERT(offsetof(qvse_callbacks_t, language_classified) == 88, "slot 11");

#endif
