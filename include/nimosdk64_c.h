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
 *   data     empty, a JSON text, or the server's whole answer
 *   user     the pointer you passed with the call, untouched
 * message and data are valid during the call only: copy what you keep.
 * A callback is called exactly once per operation, also when nimo_exit comes
 * first (then with NIMO_PROCESS_EXIT); a null callback is never called.
 *
 * Threads (see nimo_set_callback_mode):
 *   NIMO_CALLBACKS_ON_SDK_THREADS (default) callbacks run on the calling thread
 *     (immediate refusals, answers from the product cache), on one of the SDK's
 *     HTTP worker threads (server answers), or on a login wait thread; several at
 *     once. Operations still open at nimo_exit are answered on the thread that
 *     called nimo_exit, before it returns.
 *   NIMO_CALLBACKS_ON_POLL every result is queued and delivered, in the order the
 *     results arose, by nimo_run_callbacks() on the thread that calls it; no
 *     game code ever runs on a thread of ours. Call it once per frame.
 */
#ifndef NIMOSDK64_C_H
#define NIMOSDK64_C_H

#ifdef __cplusplus
extern "C" {
#endif

/* Callback codes. Server refusals carry the server's own codes. */
#define NIMO_OK 200                  /* success; for a purchase see the report's "status" */
#define NIMO_PROCESS_EXIT (-400)     /* "Process Exit!": nimo_exit came first */
#define NIMO_PRODUCT_NOT_FOUND (-400) /* "Not Found Product." (nimo_call_pay); same number: compare the message */
#define NIMO_NOT_INIT (-401)         /* "Sdk Not Init." */
#define NIMO_STEAM_INIT_FAILURE (-402) /* "Steam Init Failure!" */
#define NIMO_TICKET_TIMEOUT (-403)   /* "Steam Ticket TimeOut!" */
#define NIMO_TICKET_FAILURE (-404)   /* "Steam Ticket Auth Failure!" */
#define NIMO_NOT_LOGIN (-405)        /* "Not Login." */
#define NIMO_SERVER_JSON_ERROR (-501) /* "Server JSON Parse Error." or the JSON parser's text */
#define NIMO_HTTP_ERROR (-502)       /* "Http Code:S, Msg:T": no answer, or HTTP status S other than 200 */

/* Callback modes (nimo_set_callback_mode). */
#define NIMO_CALLBACKS_ON_SDK_THREADS 0
#define NIMO_CALLBACKS_ON_POLL 1

/* Who initialises and pumps Steam (nimo_set_steam_owner). */
#define NIMO_STEAM_OWNED_BY_SDK 0   /* default: the SDK inits Steam, pumps it, shuts it down at exit */
#define NIMO_STEAM_OWNED_BY_GAME 1  /* the game called SteamAPI_Init and calls SteamAPI_RunCallbacks */

/* Results of the two settings. */
#define NIMO_SET_OK 0
#define NIMO_SET_TOO_LATE 1    /* nimo_init was already called (and no nimo_exit since); nothing changed */
#define NIMO_SET_INVALID 2     /* unknown value; nothing changed */

typedef void (*nimo_callback)(int code, const char* message, const char* data, void* user);

/* The library's version, e.g. "2.0.0". Static text. */
const char* nimo_version(void);

/* Before nimo_init, or between nimo_exit's return and the next nimo_init (for
 * the next session; otherwise a setting stays as it was). Returns NIMO_SET_OK,
 * NIMO_SET_TOO_LATE or NIMO_SET_INVALID. */
int nimo_set_callback_mode(int mode);
int nimo_set_steam_owner(int owner);

/* Poll mode: delivers on this thread the results queued when it was called, in
 * order; returns how many. Returns at once when none are queued. May be called
 * from inside a callback. Still delivers after nimo_exit what was queued before,
 * and the NIMO_PROCESS_EXIT answers nimo_exit queued. Returns 0 in the default mode. */
int nimo_run_callbacks(void);

/* Starts the SDK: Steam, the HTTP workers, the client configuration request.
 * After nimo_exit it starts a new session, as if the library had just been
 * loaded: not logged in, the catalogue asked again, the player's facts empty;
 * purchases the last session could not confirm are reported again and events it
 * saved are sent. Nothing of the ended session reaches the new one.
 *   NIMO_OK "Sdk already init."  a previous init of this session succeeded
 *   NIMO_STEAM_INIT_FAILURE      Steam is not running (or, owned by the game, not initialised)
 *   NIMO_PROCESS_EXIT            nimo_exit (on another thread) has not returned yet
 *   server code/msg/data         the configuration answer; NIMO_OK = ready */
void nimo_init(const char* app_id, const char* app_key, nimo_callback callback, void* user);

/* Ends the session; returns once its threads have stopped (about a second at
 * most, plus the time your callbacks take). Every operation still open ends with
 * NIMO_PROCESS_EXIT "Process Exit!": called before nimo_exit returns, or queued
 * in poll mode. Forgets the player (as nimo_logout). Safe twice and from inside a
 * callback. Until the next nimo_init every other call answers as after exit
 * (NIMO_PROCESS_EXIT where it needs the network, events dropped); nimo_init then
 * starts a new session (the Unity Editor's next Play, a return to the title). */
void nimo_exit(void);

/* Logs the player in with their Steam identity.
 *   NIMO_NOT_INIT, NIMO_TICKET_TIMEOUT (~10 s), NIMO_TICKET_FAILURE, NIMO_PROCESS_EXIT,
 *   NIMO_SERVER_JSON_ERROR, or the login answer (NIMO_OK = logged in; data holds it) */
void nimo_login(nimo_callback callback, void* user);

/* Forgets the session and the in-game user facts locally. No callback. */
void nimo_logout(void);

/* Buys product_id through a Steam micro-transaction; ext_info is your own text and
 * comes back in the report. One callback per purchase:
 *   NIMO_NOT_INIT / NIMO_NOT_LOGIN / NIMO_PROCESS_EXIT ("Process Exit!")
 *   NIMO_PRODUCT_NOT_FOUND "Not Found Product."
 *   code, "Query Product Failure, "+msg   the catalogue could not be loaded
 *   server code/msg/data                  order creation refused
 *   NIMO_SERVER_JSON_ERROR                unreadable order answer
 *   code/msg + JSON report                the payment result. Grant the goods only for
 *       NIMO_OK with "status":1; a declined purchase is NIMO_OK with "status":0.
 *   report: {"amount","currency","extInfo","orderId","productId","quantity","status"} */
void nimo_call_pay(const char* product_id, const char* ext_info, nimo_callback callback, void* user);

/* 1 once init succeeded and the Steam overlay can take a purchase, else 0. */
int nimo_is_pay_available(void);

/* Posts an analytics event; params is a JSON object text or empty; value NaN for
 * none. Never blocks on the network; no callback. */
void nimo_post_event(const char* event_name, const char* params, double value);

/* The products that can be bought through Steam.
 *   NIMO_OK "Success" {"code":200,"msg":"Success","productList":[{"gameCurrencyAmount",
 *       "productDesc","productId","productName"}...]}
 *   server code/msg/data    the catalogue could not be loaded
 *   NIMO_PROCESS_EXIT       nimo_exit was called and nothing is cached */
void nimo_query_products(nimo_callback callback, void* user);

/* In-game facts of the player, sent with orders, reports and events. No callback. */
void nimo_set_game_user_id(const char* game_user_id);
void nimo_set_level(int level);
void nimo_set_nick_name(const char* nick_name);
void nimo_set_server_id(const char* server_id);

#ifdef __cplusplus
}
#endif

#endif /* NIMOSDK64_C_H */
