/* The gateway libqvcg: the one door to the scanning engine. It loads the
 * engine library at run time from the engine directory and forwards every
 * call to it, safely from any number of threads, while the engine's files
 * may be replaced under it (QVSE_Engine_Update, or another process writing
 * the directory under "update.lock").
 *
 * Every function returns a result code of qvse_types.h; engine codes come
 * back unchanged. Every function but QVSE_Engine_Initialize returns
 * QVSE_E_NOT_LOADED while no engine is loaded. While a live update swaps the
 * engine, calls wait; they do not fail. */
#ifndef QVSE_CALLGATE_H
#define QVSE_CALLGATE_H

#include "qvse_types.h"

#ifdef __cplusplus
extern "C" {
#define QVSE_NOEXCEPT noexcept
#else
#define QVSE_NOEXCEPT
#endif

#define QVSE_API __attribute__((visibility("default")))

/* Loads the engine from directory (UTF-8; empty: the working directory) and
 * keeps a copy of the callback table, whose size must be 96. */
QVSE_API uint32_t QVSE_Engine_Initialize(const char* directory, size_t directory_length,
                                         const qvse_callbacks_t* callbacks) QVSE_NOEXCEPT;
/* QVSE_E_IN_USE while contexts exist; afterwards the table copy is zero. */
QVSE_API uint32_t QVSE_Engine_Shutdown(void) QVSE_NOEXCEPT;
/* Installs the files of directory into the engine directory, replacing files
 * of the same name, and returns once the engine was reloaded from them. */
QVSE_API uint32_t QVSE_Engine_Update(const char* directory, size_t directory_length) QVSE_NOEXCEPT;
/* Lengths in and out, in wide characters; no terminator is written. */
QVSE_API uint32_t QVSE_Engine_GetVersion(wchar_t* version, size_t* version_length,
                                         wchar_t* description,
                                         size_t* description_length) QVSE_NOEXCEPT;

QVSE_API uint32_t QVSE_Context_Create(void* context) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_Context_Destroy(void* context) QVSE_NOEXCEPT;

/* The message comes through the stream_read callback. */
QVSE_API uint32_t QVSE_MIME_BindStream(void* context) QVSE_NOEXCEPT;
/* The bytes are not copied: they must outlive the context. */
QVSE_API uint32_t QVSE_MIME_BindBuffer(void* context, const char* data,
                                       size_t length) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_MIME_BindFile(void* context, const char* path,
                                     size_t path_length) QVSE_NOEXCEPT;

QVSE_API uint32_t QVSE_Network_Connect(const wchar_t* host, size_t host_length) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_Network_Authenticate(void* context, uint32_t identity_kind, uint32_t user_id,
                                            const wchar_t* secret_key,
                                            size_t secret_key_length) QVSE_NOEXCEPT;
/* Asynchronous requests return 0 and report through network_completed. */
QVSE_API uint32_t QVSE_Network_Lookup(void* context, uint32_t timeout_ms,
                                      bool asynchronous) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_Network_Touch(void* context, uint32_t value, uint32_t timeout_ms,
                                     bool asynchronous) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_Network_Report(void* context, bool flag, uint32_t timeout_ms,
                                      bool asynchronous) QVSE_NOEXCEPT;
QVSE_API uint32_t QVSE_Network_Revoke(void* context, bool flag, uint32_t timeout_ms,
                                      bool asynchronous) QVSE_NOEXCEPT;

QVSE_API uint32_t QVSE_Spam_Prepare(void* context) QVSE_NOEXCEPT;
/* The three results are written only on success. */
QVSE_API uint32_t QVSE_Spam_GetClassification(void* context, bool* whitelisted, bool* blacklisted,
                                              uint32_t* score) QVSE_NOEXCEPT;

/* Each known language through language_enumerated. */
QVSE_API uint32_t QVSE_Language_GetCapabilities(void) QVSE_NOEXCEPT;
/* The leading languages through language_classified. */
QVSE_API uint32_t QVSE_Language_GetClassification(void* context) QVSE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
