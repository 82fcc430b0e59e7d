#ifndef TAVREL_MMP_TAVREL_MMP_C_H
#define TAVREL_MMP_TAVREL_MMP_C_H

/**
 * @file
 * The library's C interface, for hosts written in C or bound from other languages (libffi,
 * ctypes, JNI, ...). It mirrors the C++ facade `tavrel_mmp::Nimbrel` one call for one call.
 *
 * - Texts are NUL-terminated UTF-8. Dictionaries are JSON objects as text, lists JSON arrays.
 * - Nothing fails towards the caller: every function returns nothing (or a plain value) and
 *   never throws. NULL where a text is expected, JSON that does not parse or has the wrong
 *   shape, and text that is not UTF-8 are each reported as a development line ("MMP: ...",
 *   shown in development mode) and then treated as an empty text or an absent value.
 * - The library copies what it keeps; the caller's texts may be freed as soon as a call returns.
 * - Texts handed to a callback are valid only during that call: copy what you keep.
 * - Callbacks run on library threads as well as on the caller's (see each one), possibly after
 *   the call that registered them returned: whatever `user` points at must stay valid. A
 *   callback returns normally; one that ends its thread (pthread_exit, or a language runtime
 *   that does so to threads calling in while it shuts down) is not supported, so such a host
 *   waits for the completions it asked for before it exits. */

#include "tavrel_mmp/export.h"
#include "tavrel_mmp/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Receives a deep link: one the host opened through tavrel_mmp_open_url (on the thread that
 * called it), or the deferred one the service held for a new installation (on a library thread). */
typedef void (*tavrel_mmp_deeplink_callback)(const char* url, void* user);

/** The outcome of an authentication the service answered: accepted (1) with the session
 * identifier, or refused (0, session_id NULL) with the service's code and text. */
typedef void (*tavrel_mmp_session_callback)(int accepted, const char* session_id, int code,
                                            const char* text, void* user);

/** The answer to the installation's deferred deep-link question: the link, or NULL for none. */
typedef void (*tavrel_mmp_deferred_deeplink_callback)(const char* link_or_null, void* user);

/** The one outcome of a link request: exactly one of the two texts is non-NULL.
 *   result_json  {"shortLink": text, "longLink": text}
 *   error_json   {"code": text, "message": text}; the code is the service's result code in
 *                decimal when it refused the request (or the authentication a request made
 *                right after the start waited for), "0" for every other failure.
 * Called once per request, normally on a library thread; on the caller's thread, before the
 * request function returns, only when no request could be formed. */
typedef void (*tavrel_mmp_link_completion)(const char* result_json, const char* error_json,
                                           void* user);

/** Starts the library. options_json: {"showLog": bool, "autoTrackingScreen": bool,
 * "crashReporting": bool, "bundleId": text, "appVersion": text, "dataDirectory": text}, a missing
 * member taking its default (false, true, true, and unset texts: see
 * tavrel_mmp::NimbrelOptions); NULL for the two-argument start, which keeps the current
 * development mode, tracks screens automatically and captures crashes. */
TAVREL_MMP_EXPORT void tavrel_mmp_init(const char* partner_code, const char* app_secret,
                                       const char* options_json);

/** data_json: the event's dictionary, or NULL for none. */
TAVREL_MMP_EXPORT void tavrel_mmp_log_event(const char* name, const char* data_json);

/** Global properties (see tavrel_mmp::Nimbrel::setGlobalProperties): json, an object, adds its
 * members to every later tavrel_mmp_log_event, under the event's own members on equal keys. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_global_properties(const char* json);
TAVREL_MMP_EXPORT void tavrel_mmp_unset_global_property(const char* key);

/** As tavrel_mmp_log_event, sent on its own at once (a "nbRealtime": true member, added). */
TAVREL_MMP_EXPORT void tavrel_mmp_log_realtime_event(const char* name, const char* data_json);

/** Development mode: the library's "MMP: ..." lines on standard output. Off at start. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_dev_mode(int on);

TAVREL_MMP_EXPORT void tavrel_mmp_set_current_screen(const char* screen_name);

TAVREL_MMP_EXPORT void tavrel_mmp_record_error(const char* name, const char* stack_trace);

/** user_json: {"userId", "name", "gender", "email", "phone", "country", "city",
 * "firebaseToken": text, "age": integer}; a member missing or of another kind gives "" or 0. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_user_info(const char* user_json);

/** An amount that is not a finite number is sent as null. data_json may be NULL. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_revenue(const char* order_id, double amount,
                                              const char* currency, const char* data_json);

/** products_json: an array of {"p_id", "p_name", "p_img", "p_price": text, "p_quantity": integer,
 * "p_categories": [{"c_id", "c_name"}]}; products without "p_id" are left out. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_product_list(const char* list_name,
                                                   const char* products_json);

/** The host's deep-link callback, replacing any earlier one (NULL removes it); not called now. */
TAVREL_MMP_EXPORT void tavrel_mmp_handle_deeplink(tavrel_mmp_deeplink_callback callback,
                                                  void* user);

/** Outcome callbacks (see tavrel_mmp::Nimbrel::onSession and onDeferredDeeplink), called on a
 * library thread; each replaces any earlier one (NULL removes it). Set them before
 * tavrel_mmp_init to hear the first outcomes. The deferred one is called once per installation. */
TAVREL_MMP_EXPORT void tavrel_mmp_on_session(tavrel_mmp_session_callback callback, void* user);
TAVREL_MMP_EXPORT void tavrel_mmp_on_deferred_deeplink(
    tavrel_mmp_deferred_deeplink_callback callback, void* user);

/** The system opened a URL for the application. Unless it is empty or the URL delivered last, it
 * reaches the deep-link callback on this thread, before the call returns. */
TAVREL_MMP_EXPORT void tavrel_mmp_open_url(const char* url);

/** Asks the service for a tracking link; params_json is posted as it is (NULL: {}). */
TAVREL_MMP_EXPORT void tavrel_mmp_create_link(const char* params_json,
                                              tavrel_mmp_link_completion completion, void* user);

/** Asks the service for a short link to long_link, named `name`, at the slug short_link_slug
 * (empty: the service picks one). */
TAVREL_MMP_EXPORT void tavrel_mmp_shorten_link(const char* long_link, const char* name,
                                               const char* short_link_slug,
                                               tavrel_mmp_link_completion completion, void* user);

/** Privacy controls (see tavrel_mmp::Nimbrel::setTrackingEnabled and forgetDevice). The choice
 * reads 0 while it cannot be read from the settings. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_tracking_enabled(int on);
TAVREL_MMP_EXPORT int tavrel_mmp_is_tracking_enabled(void);
TAVREL_MMP_EXPORT void tavrel_mmp_forget_device(void);
/** state: "pending", "granted" or "denied" (see tavrel_mmp::Nimbrel::setConsent); any other
 * text changes nothing and is reported as a development line. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_consent(const char* state);
/** Non-zero: keep recording and send nothing until called with 0 (see
 * tavrel_mmp::Nimbrel::setOffline). */
TAVREL_MMP_EXPORT void tavrel_mmp_set_offline(int on);

/** Sends what is stored now and waits at most timeout_ms (a negative one counts as 0): 1 when
 * every event stored at the call was accepted, else 0 (see tavrel_mmp::Nimbrel::flush). */
TAVREL_MMP_EXPORT int tavrel_mmp_flush(int timeout_ms);

/** Receives the development lines instead of standard output: level 0 error, 1 warning,
 * 2 information, 3 debug, and the line (see tavrel_mmp::Nimbrel::setLogSink). */
typedef void (*tavrel_mmp_log_sink)(int level, const char* line, void* user);

/** Installs the log sink; NULL restores standard output. */
TAVREL_MMP_EXPORT void tavrel_mmp_set_log_sink(tavrel_mmp_log_sink sink, void* user);

/** The release of the library running, "MAJOR.MINOR.PATCH" (TAVREL_MMP_VERSION_STRING of the
 * headers it was built with); a static text. */
TAVREL_MMP_EXPORT const char* tavrel_mmp_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_MMP_TAVREL_MMP_C_H */
