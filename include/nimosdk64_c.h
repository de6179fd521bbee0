/* nimosdk64: the publisher SDK a Steam game loads into its own process, as plain C.
 *
 * Any engine or language that can call C can use it: Unity (C# P/Invoke, see
 * bindings/csharp/), Unreal, Godot, or a C/C++ game built with any compiler.
 *
 * Strings: NUL-terminated UTF-8 in both directions. A null pointer passed in is
 * read as the empty string; invalid UTF-8 becomes U+FFFD.
 *
 * Every call returns at once (only nimo_exit blocks, about a second at most) and
 * never lets an exception escape. Results arrive later through a nimo_callback:
 *   code     NIMO_OK (200) on success, a negative NIMO_* code, or the server's own code
 *   message  a fixed English text, or the server's message
 *   data     empty, a JSON text, or the server's whole answer; for NIMO_HTTP_ERROR
 *            a JSON object saying why (see "Why a request failed" below)
 *   user     the pointer you passed with the call, untouched
 * message and data are valid during the call only: copy what you keep.
 * A callback is called exactly once per operation, also when nimo_exit comes
 * first (then with NIMO_PROCESS_EXIT); a null callback is never called.
 *
 * Threads (see nimo_set_callback_mode):
 *   NIMO_CALLBACKS_ON_SDK_THREADS (default) callbacks run on the calling thread
 *     (immediate refusals, answers from the product cache), on one of the SDK's
 *     HTTP worker threads (server answers), on nimo_init's start-up thread (its
 *     NIMO_STEAM_INIT_FAILURE) or on a login wait thread; several at once.
 *     Operations still open at nimo_exit are answered on the thread that
 *     called nimo_exit, before it returns.
 *   NIMO_CALLBACKS_ON_POLL every result is queued and delivered, in the order the
 *     results arose, by nimo_run_callbacks() on the thread that calls it; no
 *     game code ever runs on a thread of ours. Call it once per frame.
 */
#ifndef NIMOSDK64_C_H
#define NIMOSDK64_C_H

#include "nimosdk64_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Callback codes. Server refusals carry the server's own codes. */
#define NIMO_OK 200                  /* success; for a purchase see the report's "status" */
#define NIMO_PROCESS_EXIT (-400)     /* "Process Exit!": nimo_exit came first */
#define NIMO_PRODUCT_NOT_FOUND (-406) /* "Not Found Product." (nimo_call_pay); -400 through the C++ exports */
#define NIMO_NOT_INIT (-401)         /* "Sdk Not Init." */
#define NIMO_STEAM_INIT_FAILURE (-402) /* "Steam Init Failure!" */
#define NIMO_TICKET_TIMEOUT (-403)   /* "Steam Ticket TimeOut!" */
#define NIMO_TICKET_FAILURE (-404)   /* "Steam Ticket Auth Failure!" */
#define NIMO_NOT_LOGIN (-405)        /* "Not Login." */
#define NIMO_SERVER_JSON_ERROR (-501) /* "Server JSON Parse Error." or the JSON parser's text */
#define NIMO_HTTP_ERROR (-502)       /* "Http Code:S, Msg:T": no answer, or HTTP status S other than 200 */

/* Why a request failed. With NIMO_HTTP_ERROR the message stays "Http Code:S, Msg:T"
 * and data is a JSON object {"detail":"<one English line>","reason":"<word>"}, plus
 * "status":S for "http_status". A failed payment report keeps the report as data,
 * with "reason" and "detail" added to it. nimo_failure_reason(data) gives the number;
 * switch on it, log the detail. */
#define NIMO_REASON_NONE 0         /* data is not a failure object */
#define NIMO_REASON_TIMEOUT 1      /* "timeout": connect, read, write or the whole request took too long */
#define NIMO_REASON_REFUSED 2      /* "refused": nothing listens at the server's address */
#define NIMO_REASON_DNS 3          /* "dns": the host name could not be resolved */
#define NIMO_REASON_TLS_VERIFY 4   /* "tls_verify": the server's certificate was not accepted */
#define NIMO_REASON_TLS 5          /* "tls": any other TLS failure */
#define NIMO_REASON_DROPPED 6      /* "dropped": the connection closed or reset before the whole answer */
#define NIMO_REASON_TOO_LARGE 7    /* "too_large": the answer passed the SDK's size bounds */
#define NIMO_REASON_HTTP_STATUS 8  /* "http_status": the server answered with a status other than 200 */
#define NIMO_REASON_ABORTED 9      /* "aborted": the request was cancelled */
#define NIMO_REASON_PROTOCOL 10    /* "protocol": the answer was not HTTP/1.1 the SDK can read */
#define NIMO_REASON_OTHER 11       /* "other": any other failure (socket, address) */

/* Callback modes (nimo_set_callback_mode). */
#define NIMO_CALLBACKS_ON_SDK_THREADS 0
#define NIMO_CALLBACKS_ON_POLL 1

/* Who initialises and pumps Steam (nimo_set_steam_owner). */
#define NIMO_STEAM_OWNED_BY_SDK 0   /* default: the SDK inits Steam, pumps it, shuts it down at exit */
#define NIMO_STEAM_OWNED_BY_GAME 1  /* the game called SteamAPI_Init and calls SteamAPI_RunCallbacks */

/* Results of nimo_set_callback_mode, nimo_set_steam_owner and nimo_set_option. */
#define NIMO_SET_OK 0
#define NIMO_SET_TOO_LATE 1    /* nimo_init was already called (and no nimo_exit since); nothing changed */
#define NIMO_SET_INVALID 2     /* unknown name or value; nothing changed */

typedef void (*nimo_callback)(int code, const char* message, const char* data, void* user);

/* The NIMO_REASON_* number of a callback's data; NIMO_REASON_NONE when data is null,
 * not JSON or has no known "reason". Works on any thread, at any time. */
NIMO_API int nimo_failure_reason(const char* data);

/* The library's version, e.g. "2.0.0". Static text. */
NIMO_API const char* nimo_version(void);

/* Before nimo_init, or between nimo_exit's return and the next nimo_init (for
 * the next session; otherwise a setting stays as it was). Returns NIMO_SET_OK,
 * NIMO_SET_TOO_LATE or NIMO_SET_INVALID. */
NIMO_API int nimo_set_callback_mode(int mode);
NIMO_API int nimo_set_steam_owner(int owner);

/* ---- Purchases the game finishes ----
 *
 * Without a listener a purchase reaches the game once, through its
 * nimo_call_pay callback; a game killed between the server's confirmation and
 * its grant never hears it again. With a listener, every purchase the server
 * confirmed as paid is kept by the SDK (in its purchase journal) until the game
 * calls nimo_finish_purchase, and the listener receives it:
 *   - right after the purchase's nimo_call_pay callback;
 *   - at every start, after nimo_init succeeded (after init's callback): those
 *     earlier runs left unfinished, in the order they were paid;
 *   - when a purchase an earlier run could not confirm is confirmed now.
 * purchase_json: {"amount","currency","extInfo","orderId","productId",
 * "quantity","status":1,"userId"}: the purchase's report and the buyer's user id.
 * The listener follows the callback mode (in poll mode it runs inside
 * nimo_run_callbacks()), may call any function (nimo_finish_purchase among
 * them), and the string is valid during the call only. One running process of
 * the game holds a purchase at a time: two processes of the game never both
 * receive it at once; another process receives it at its next start once the
 * holder exited or died. Unfinished purchases never expire; beyond 1000 the
 * oldest is dropped (logged as an error). Grant the goods, save that you did,
 * then finish: a purchase received twice (the game died before finishing) has
 * the same "orderId". */
typedef void (*nimo_purchase_listener)(const char* purchase_json, void* user);

/* Before nimo_init, or after nimo_exit has returned (as nimo_set_callback_mode);
 * NULL removes it. Returns NIMO_SET_OK or NIMO_SET_TOO_LATE. */
NIMO_API int nimo_set_purchase_listener(nimo_purchase_listener listener, void* user);

/* The game has granted the goods of order_id: the SDK forgets the purchase for
 * good, written and flushed to the disk before this returns, so no later start
 * delivers it again. Any thread, also from inside the listener; an unknown or
 * already finished order_id changes nothing. */
NIMO_API void nimo_finish_purchase(const char* order_id);

/* Poll mode: delivers on this thread the results queued when it was called, in
 * order; returns how many. Returns at once when none are queued. May be called
 * from inside a callback. Still delivers after nimo_exit what was queued before,
 * and the NIMO_PROCESS_EXIT answers nimo_exit queued. Returns 0 in the default mode. */
NIMO_API int nimo_run_callbacks(void);

/* Starts the SDK: Steam, the HTTP workers, the client configuration request.
 * Returns at once: the start-up runs on a thread of the SDK's, which answers
 * NIMO_STEAM_INIT_FAILURE; events posted and calls made meanwhile wait for it.
 * After nimo_exit it starts a new session, as if the library had just been
 * loaded: not logged in, the catalogue asked again, the player's facts empty;
 * purchases the last session could not confirm are reported again and events it
 * saved are sent. Nothing of the ended session reaches the new one.
 *   NIMO_OK "Sdk already init."  a previous init of this session succeeded
 *   NIMO_STEAM_INIT_FAILURE      Steam is not running (or, owned by the game, not initialised)
 *   NIMO_PROCESS_EXIT            nimo_exit (on another thread) has not returned yet
 *   server code/msg/data         the configuration answer; NIMO_OK = ready */
NIMO_API void nimo_init(const char* app_id, const char* app_key, nimo_callback callback, void* user);

/* Ends the session; returns once its threads have stopped (about a second at
 * most, plus the time your callbacks take). Every operation still open ends with
 * NIMO_PROCESS_EXIT "Process Exit!": called before nimo_exit returns, or queued
 * in poll mode. Forgets the player (as nimo_logout). Safe twice and from inside a
 * callback. Until the next nimo_init every other call answers as after exit
 * (NIMO_PROCESS_EXIT where it needs the network, events dropped); nimo_init then
 * starts a new session (the Unity Editor's next Play, a return to the title). */
NIMO_API void nimo_exit(void);

/* Logs the player in with their Steam identity.
 *   NIMO_NOT_INIT, NIMO_TICKET_TIMEOUT (~10 s), NIMO_TICKET_FAILURE, NIMO_PROCESS_EXIT,
 *   NIMO_SERVER_JSON_ERROR, or the login answer (NIMO_OK = logged in; data holds it) */
NIMO_API void nimo_login(nimo_callback callback, void* user);

/* Forgets the session and the in-game user facts locally. No callback. */
NIMO_API void nimo_logout(void);

/* Buys product_id through a Steam micro-transaction; ext_info is your own text and
 * comes back in the report. One callback per purchase:
 *   NIMO_NOT_INIT / NIMO_NOT_LOGIN / NIMO_PROCESS_EXIT ("Process Exit!")
 *   NIMO_PRODUCT_NOT_FOUND "Not Found Product."  (its own code here; -400 in the C++ exports)
 *   code, "Query Product Failure, "+msg   the catalogue could not be loaded
 *   server code/msg/data                  order creation refused
 *   NIMO_SERVER_JSON_ERROR                unreadable order answer
 *   code/msg + JSON report                the payment result. Grant the goods only for
 *       NIMO_OK with "status":1; a declined purchase is NIMO_OK with "status":0.
 *   report: {"amount","currency","extInfo","orderId","productId","quantity","status"} */
NIMO_API void nimo_call_pay(const char* product_id, const char* ext_info, nimo_callback callback, void* user);

/* 1 once init succeeded and the Steam overlay can take a purchase, else 0. */
NIMO_API int nimo_is_pay_available(void);

/* Posts an analytics event; params is a JSON object text or empty; value NaN for
 * none. Never blocks on the network; no callback. */
NIMO_API void nimo_post_event(const char* event_name, const char* params, double value);

/* The products that can be bought through Steam.
 *   NIMO_OK "Success" {"code":200,"msg":"Success","productList":[{"gameCurrencyAmount",
 *       "productDesc","productId","productName"}...]}
 *   server code/msg/data    the catalogue could not be loaded
 *   NIMO_PROCESS_EXIT       nimo_exit was called and nothing is cached */
NIMO_API void nimo_query_products(nimo_callback callback, void* user);

/* In-game facts of the player, sent with orders, reports and events. No callback. */
NIMO_API void nimo_set_game_user_id(const char* game_user_id);
NIMO_API void nimo_set_level(int level);
NIMO_API void nimo_set_nick_name(const char* nick_name);
NIMO_API void nimo_set_server_id(const char* server_id);

/* ---- Settings: servers, trust and time limits ----
 *
 * nimo_set_option(name, value), before nimo_init, returns
 *   NIMO_SET_OK
 *   NIMO_SET_TOO_LATE  from nimo_init until nimo_exit has returned; nothing changed
 *   NIMO_SET_INVALID   unknown name, or a value that fails its check; nothing changed
 * A NULL or empty value drops your setting again. At each nimo_init the setting
 * in force is fixed: yours, else the environment variable's (unless you set
 * "environment" to "ignore"), else the default. After nimo_exit has returned you
 * may set them again; the next nimo_init reads them afresh.
 *
 *   name                 value                                          environment variable
 *   "api_base_url"       http(s)://host[:port][/path]; a final "/" is   NIMOSDK_API_BASE_URL
 *                        dropped
 *   "track_url"          http(s)://host[:port][/path]                   NIMOSDK_TRACK_URL
 *   "ca_file"            path (UTF-8) of a PEM file holding at least    NIMOSDK_CA_FILE
 *                        one certificate; read when you set it
 *   "ca_only"            "1": trust only the CAs of ca_file (pinning:   -
 *                        without ca_file every HTTPS request fails);
 *                        "0" (default): ca_file adds to the system store
 *   "connect_timeout_ms" 1..86400000 (default 10000)                    NIMOSDK_CONNECT_TIMEOUT_MS
 *   "io_timeout_ms"      1..86400000 (default 30000), a read or write   NIMOSDK_IO_TIMEOUT_MS
 *   "request_timeout_ms" 1..86400000 (default 120000), a whole request  NIMOSDK_REQUEST_TIMEOUT_MS
 *   "environment"        "use" (default) or "ignore": the environment   -
 *                        variables change nothing. A release game should
 *                        say "ignore" and set its URLs and CA itself.
 * An environment variable with an unusable value is ignored (and logged). */
NIMO_API int nimo_set_option(const char* name, const char* value);

/* The setting in force, for a diagnostics screen: from nimo_init until nimo_exit
 * the values that init fixed, otherwise those the next init would fix now.
 * Copies the value, NUL-terminated, into buffer (size bytes; cut on a whole
 * UTF-8 character when it does not fit; buffer may be NULL when size is 0) and
 * returns its full length in bytes without the NUL: when the result is >= size,
 * call again with a buffer of result + 1 bytes. Returns -1 for an unknown name
 * (buffer then holds ""). Safe from any thread; nothing is kept by the SDK. */
NIMO_API int nimo_get_option(const char* name, char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* NIMOSDK64_C_H */
