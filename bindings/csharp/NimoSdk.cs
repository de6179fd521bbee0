// C# binding of nimosdk64 (the C functions of nimosdk64_c.h), as a Unity game uses it.
// Drop this file into Assets/ and the library into Assets/Plugins/x86_64/
// (nimosdk64.dll on Windows, libnimosdk64.so on Linux). Works on Mono and IL2CPP.
using System;
using System.Runtime.InteropServices;
using System.Text;

#if !UNITY_5_3_OR_NEWER
namespace AOT
{
    /// <summary>
    /// Marks a static method that native code calls back, so that IL2CPP generates
    /// its entry. Unity has its own; this one stands in for it elsewhere.
    /// </summary>
    [AttributeUsage(AttributeTargets.Method)]
    public sealed class MonoPInvokeCallbackAttribute : Attribute
    {
        /// <summary>Marks the method as a callback of the given delegate type.</summary>
        /// <param name="delegateType">The delegate type native code calls it through.</param>
        public MonoPInvokeCallbackAttribute(Type delegateType) { DelegateType = delegateType; }

        /// <summary>The delegate type native code calls the method through.</summary>
        public Type DelegateType { get; private set; }
    }
}
#endif

namespace Nimo
{
    /// <summary>The result of one SDK operation.</summary>
    /// <param name="code">200 on success, a negative <see cref="NimoCodes"/> value, or the server's own code.</param>
    /// <param name="message">A fixed English text, or the server's message.</param>
    /// <param name="data">Empty, a JSON text, or the server's whole answer.</param>
    public delegate void NimoResult(int code, string message, string data);

    /// <summary>Callback codes. Server refusals carry the server's own codes.</summary>
    public static class NimoCodes
    {
        /// <summary>Success. For a purchase, grant only when the report's "status" is 1.</summary>
        public const int Ok = 200;
        /// <summary>"Process Exit!": <see cref="NimoSdk.Exit"/> came first.</summary>
        public const int ProcessExit = -400;
        /// <summary>"Not Found Product." from <see cref="NimoSdk.CallPay"/> (the C++ exports give -400 for it).</summary>
        public const int ProductNotFound = -406;
        /// <summary>"Sdk Not Init."</summary>
        public const int NotInit = -401;
        /// <summary>"Steam Init Failure!"</summary>
        public const int SteamInitFailure = -402;
        /// <summary>"Steam Ticket TimeOut!"</summary>
        public const int TicketTimeout = -403;
        /// <summary>"Steam Ticket Auth Failure!"</summary>
        public const int TicketFailure = -404;
        /// <summary>"Not Login."</summary>
        public const int NotLogin = -405;
        /// <summary>"Server JSON Parse Error." or the JSON parser's text.</summary>
        public const int ServerJsonError = -501;
        /// <summary>"Http Code:S, Msg:T": no answer, or an HTTP status other than 200. Data says why: see <see cref="NimoSdk.FailureReason"/>.</summary>
        public const int HttpError = -502;
    }

    /// <summary>
    /// Why a request failed (code -502): the "reason" of the JSON object in data,
    /// {"detail":"one English line","reason":"..."} (with "status" for HttpStatus).
    /// </summary>
    public enum NimoReason
    {
        /// <summary>Data is not a failure object.</summary>
        None = 0,
        /// <summary>"timeout": connect, read, write or the whole request took too long.</summary>
        Timeout = 1,
        /// <summary>"refused": nothing listens at the server's address.</summary>
        Refused = 2,
        /// <summary>"dns": the host name could not be resolved.</summary>
        Dns = 3,
        /// <summary>"tls_verify": the server's certificate was not accepted.</summary>
        TlsVerify = 4,
        /// <summary>"tls": any other TLS failure.</summary>
        Tls = 5,
        /// <summary>"dropped": the connection closed or reset before the whole answer.</summary>
        Dropped = 6,
        /// <summary>"too_large": the answer passed the SDK's size bounds.</summary>
        TooLarge = 7,
        /// <summary>"http_status": the server answered with a status other than 200.</summary>
        HttpStatus = 8,
        /// <summary>"aborted": the request was cancelled.</summary>
        Aborted = 9,
        /// <summary>"protocol": the answer was not HTTP the SDK can read.</summary>
        Protocol = 10,
        /// <summary>"other": any other failure.</summary>
        Other = 11,
    }

    /// <summary>Where callbacks run.</summary>
    public enum CallbackMode
    {
        /// <summary>On the SDK's threads (the default). Unity code may not run there.</summary>
        OnSdkThreads = 0,
        /// <summary>Queued, and run by <see cref="NimoSdk.RunCallbacks"/> on the thread that calls it.</summary>
        OnPoll = 1,
    }

    /// <summary>Who initialises and pumps Steam.</summary>
    public enum SteamOwner
    {
        /// <summary>The SDK initialises Steam, pumps it and shuts it down at exit (the default).</summary>
        Sdk = 0,
        /// <summary>The game calls SteamAPI_Init and SteamAPI_RunCallbacks itself (for example through Steamworks.NET).</summary>
        Game = 1,
    }

    /// <summary>The answer to a setting.</summary>
    public enum SettingResult
    {
        /// <summary>Taken.</summary>
        Ok = 0,
        /// <summary>Init was already called; nothing changed.</summary>
        TooLate = 1,
        /// <summary>Unknown value; nothing changed.</summary>
        Invalid = 2,
    }

    /// <summary>
    /// The SDK. Typical use from a MonoBehaviour: <c>NimoSdk.SetCallbackMode(CallbackMode.OnPoll)</c>
    /// and <c>NimoSdk.Init(appId, appKey, (code, msg, data) => ...)</c> in <c>Awake</c>,
    /// <c>NimoSdk.RunCallbacks()</c> in <c>Update</c>, and in <c>OnApplicationQuit</c>
    /// <c>NimoSdk.Exit()</c> then one more <c>NimoSdk.RunCallbacks()</c>: results queued before
    /// Exit, and the "Process Exit!" answers Exit queues, arrive only through a poll, so that no
    /// purchase result is lost.
    /// Every callback is called exactly once per operation; a null callback is never called.
    /// An exception thrown by a callback never reaches native code: it goes to <see cref="CallbackError"/>.
    /// </summary>
    public static partial class NimoSdk
    {
        /// <summary>
        /// Receives every exception a callback throws (it never reaches native code), and the
        /// binding's own errors. In Unity set it to <c>Debug.LogException</c>: Unity's console
        /// does not show standard error. Null or throwing: standard error is used.
        /// </summary>
        public static Action<Exception> CallbackError;

        /// <summary>Why a request failed, from a callback's data (-502); None for any other data.</summary>
        /// <param name="data">The callback's data.</param>
        /// <returns>The reason.</returns>
        public static NimoReason FailureReason(string data)
        {
            return data == null ? NimoReason.None : (NimoReason)Native.nimo_failure_reason(ToUtf8(data));
        }

        /// <summary>
        /// Whether a purchase's callback says the player paid: code 200 with "status":1 in the
        /// report. Grant the goods exactly when this is true.
        /// </summary>
        /// <param name="code">The callback's code.</param>
        /// <param name="report">The callback's data.</param>
        /// <returns>True when paid.</returns>
        public static bool IsPaid(int code, string report)
        {
            // The SDK writes the report compact with its keys sorted: "status" is the last
            // member, after any text of the game's (extInfo).
            return code == NimoCodes.Ok && report != null && report.EndsWith("\"status\":1}", StringComparison.Ordinal);
        }

        /// <summary>The library's version, for example "2.0.0".</summary>
        public static string Version { get { return FromUtf8(Native.nimo_version()); } }

        /// <summary>Chooses where callbacks run; before <see cref="Init"/>.</summary>
        /// <param name="mode">The callback mode.</param>
        /// <returns>Whether the setting was taken.</returns>
        public static SettingResult SetCallbackMode(CallbackMode mode) { return (SettingResult)Native.nimo_set_callback_mode((int)mode); }

        /// <summary>Says who runs Steam; before <see cref="Init"/>.</summary>
        /// <param name="owner">Who initialises and pumps Steam.</param>
        /// <returns>Whether the setting was taken.</returns>
        public static SettingResult SetSteamOwner(SteamOwner owner) { return (SettingResult)Native.nimo_set_steam_owner((int)owner); }

        /// <summary>
        /// In poll mode, runs on this thread the callbacks of the results queued so far,
        /// in order. Cheap when nothing is queued: call it every frame. Also after
        /// <see cref="Exit"/>, which queues the "Process Exit!" answers.
        /// </summary>
        /// <returns>How many callbacks ran.</returns>
        public static int RunCallbacks() { return Native.nimo_run_callbacks(); }

        /// <summary>Starts the SDK (Steam, the HTTP workers, the client configuration request).</summary>
        /// <param name="appId">The game's application id.</param>
        /// <param name="appKey">The game's key.</param>
        /// <param name="callback">200 when ready; -402 without Steam; the server's refusal otherwise.</param>
        public static void Init(string appId, string appKey, NimoResult callback)
        {
            Native.nimo_init(ToUtf8(appId), ToUtf8(appKey), Trampoline(callback), Keep(callback));
        }

        /// <summary>Shuts the SDK down, within about a second. Open operations end with -400 "Process Exit!". The next <see cref="Init"/> starts a new session (the Editor's next Play).</summary>
        public static void Exit() { Native.nimo_exit(); }

        /// <summary>Logs the player in with their Steam identity.</summary>
        /// <param name="callback">200 when logged in (data holds the answer); -401, -403, -404, -400, -501, or the server's refusal.</param>
        public static void Login(NimoResult callback) { Native.nimo_login(Trampoline(callback), Keep(callback)); }

        /// <summary>Forgets the session and the in-game user facts locally.</summary>
        public static void Logout() { Native.nimo_logout(); }

        /// <summary>Buys a product through a Steam micro-transaction.</summary>
        /// <param name="productId">The catalogue's product id.</param>
        /// <param name="extInfo">Your own text for the order; it comes back in the report.</param>
        /// <param name="callback">
        /// The payment report as data: grant only for 200 with "status":1 (a decline is 200 with "status":0).
        /// Refusals: -401, -405, -400 ("Process Exit!"), -406 ("Not Found Product."), the server's codes.
        /// Use <see cref="IsPaid"/> to decide.
        /// </param>
        public static void CallPay(string productId, string extInfo, NimoResult callback)
        {
            Native.nimo_call_pay(ToUtf8(productId), ToUtf8(extInfo), Trampoline(callback), Keep(callback));
        }

        /// <summary>Whether a purchase can be made now (initialised, Steam overlay available).</summary>
        public static bool IsPayAvailable { get { return Native.nimo_is_pay_available() != 0; } }

        /// <summary>Posts an analytics event; fire and forget.</summary>
        /// <param name="eventName">The event name.</param>
        /// <param name="paramsJson">A JSON object text, or null.</param>
        /// <param name="value">The event's number; NaN for none.</param>
        public static void PostEvent(string eventName, string paramsJson = null, double value = double.NaN)
        {
            Native.nimo_post_event(ToUtf8(eventName), ToUtf8(paramsJson), value);
        }

        /// <summary>The products that can be bought through Steam.</summary>
        /// <param name="callback">200 "Success" with {"productList":[...]} as data, or the server's refusal.</param>
        public static void QueryProducts(NimoResult callback) { Native.nimo_query_products(Trampoline(callback), Keep(callback)); }

        /// <summary>The player's id inside the game.</summary>
        /// <param name="gameUserId">The id.</param>
        public static void SetGameUserId(string gameUserId) { Native.nimo_set_game_user_id(ToUtf8(gameUserId)); }

        /// <summary>The player's level.</summary>
        /// <param name="level">The level.</param>
        public static void SetLevel(int level) { Native.nimo_set_level(level); }

        /// <summary>The player's nickname.</summary>
        /// <param name="nickName">The nickname.</param>
        public static void SetNickName(string nickName) { Native.nimo_set_nick_name(ToUtf8(nickName)); }

        /// <summary>The game server the player is on.</summary>
        /// <param name="serverId">The server's id.</param>
        public static void SetServerId(string serverId) { Native.nimo_set_server_id(ToUtf8(serverId)); }

        // One static entry for every callback; the game's delegate travels in `user`
        // as a GCHandle, freed at its one call. Kept in a static field so the
        // collector never takes the function pointer native code holds.
        static readonly Native.ResultCallback Entry = OnResult;

        [AOT.MonoPInvokeCallback(typeof(Native.ResultCallback))]
        static void OnResult(int code, IntPtr message, IntPtr data, IntPtr user)
        {
            try
            {
                GCHandle handle = GCHandle.FromIntPtr(user);
                NimoResult callback = (NimoResult)handle.Target;
                handle.Free();
                callback(code, FromUtf8(message), FromUtf8(data));
            }
            catch (Exception e)
            {
                ReportError(e);
            }
        }

        // Never throws: it runs on the native side's stack.
        static void ReportError(Exception e)
        {
            try
            {
                Action<Exception> hook = CallbackError;
                if (hook != null)
                {
                    hook(e);
                    return;
                }
            }
            catch (Exception hookFailure)
            {
                e = new AggregateException("CallbackError threw while reporting a callback's exception", e, hookFailure);
            }
            try
            {
                Console.Error.WriteLine(e);
            }
            catch (Exception)
            {
                // nowhere left to say it
            }
        }

        static Native.ResultCallback Trampoline(NimoResult callback) { return callback == null ? null : Entry; }

        static IntPtr Keep(NimoResult callback)
        {
            return callback == null ? IntPtr.Zero : GCHandle.ToIntPtr(GCHandle.Alloc(callback));
        }

        static byte[] ToUtf8(string text)
        {
            if (text == null) return null;  // read as empty
            int n = Encoding.UTF8.GetByteCount(text);
            byte[] bytes = new byte[n + 1];  // NUL-terminated
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        static string FromUtf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return string.Empty;
            int n = 0;
            while (Marshal.ReadByte(text, n) != 0) n++;
            byte[] bytes = new byte[n];
            Marshal.Copy(text, bytes, 0, n);
            return Encoding.UTF8.GetString(bytes);
        }

        static class Native
        {
            const string Lib = "nimosdk64";

            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            internal delegate void ResultCallback(int code, IntPtr message, IntPtr data, IntPtr user);

            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr nimo_version();
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_failure_reason(byte[] data);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_set_callback_mode(int mode);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_set_steam_owner(int owner);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_run_callbacks();
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_init(byte[] appId, byte[] appKey, ResultCallback callback, IntPtr user);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_exit();
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_login(ResultCallback callback, IntPtr user);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_logout();
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_call_pay(byte[] productId, byte[] extInfo, ResultCallback callback, IntPtr user);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_is_pay_available();
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_post_event(byte[] eventName, byte[] paramsJson, double value);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_query_products(ResultCallback callback, IntPtr user);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_set_game_user_id(byte[] gameUserId);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_set_level(int level);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_set_nick_name(byte[] nickName);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_set_server_id(byte[] serverId);
        }
    }

    // ---- Settings: servers, trust and time limits (nimo_set_option / nimo_get_option) ----

    /// <summary>Names for <see cref="NimoSdk.SetOption"/> and <see cref="NimoSdk.GetOption"/>.</summary>
    public static class NimoOption
    {
        /// <summary>The API's base URL, http(s)://host[:port][/path]. Environment: NIMOSDK_API_BASE_URL.</summary>
        public const string ApiBaseUrl = "api_base_url";
        /// <summary>The analytics URL. Environment: NIMOSDK_TRACK_URL.</summary>
        public const string TrackUrl = "track_url";
        /// <summary>A PEM file of CA certificates to trust (read when set). Environment: NIMOSDK_CA_FILE.</summary>
        public const string CaFile = "ca_file";
        /// <summary>"1": trust only the CAs of <see cref="CaFile"/> (pinning); "0" (default): also the system store.</summary>
        public const string CaOnly = "ca_only";
        /// <summary>Milliseconds, 1..86400000 (default 10000). Environment: NIMOSDK_CONNECT_TIMEOUT_MS.</summary>
        public const string ConnectTimeoutMs = "connect_timeout_ms";
        /// <summary>Milliseconds a read or write may make no progress (default 30000). Environment: NIMOSDK_IO_TIMEOUT_MS.</summary>
        public const string IoTimeoutMs = "io_timeout_ms";
        /// <summary>Milliseconds for a whole request (default 120000). Environment: NIMOSDK_REQUEST_TIMEOUT_MS.</summary>
        public const string RequestTimeoutMs = "request_timeout_ms";
        /// <summary>"use" (default) or "ignore": the environment variables change nothing. A release game should say "ignore".</summary>
        public const string Environment = "environment";
    }

    public static partial class NimoSdk
    {
        /// <summary>
        /// Sets one of the <see cref="NimoOption"/> settings, before <see cref="Init"/> (or again once
        /// <see cref="Exit"/> has returned). Yours wins over the environment variable (which
        /// Environment.SetEnvironmentVariable also sets), which wins over the default.
        /// </summary>
        /// <param name="name">A <see cref="NimoOption"/> name.</param>
        /// <param name="value">The value; null or empty drops your setting again.</param>
        /// <returns>Ok; TooLate from Init until Exit has returned; Invalid for an unknown name or a value that fails its check.</returns>
        public static SettingResult SetOption(string name, string value)
        {
            return (SettingResult)OptionsNative.nimo_set_option(ToUtf8(name), ToUtf8(value));
        }

        /// <summary>The setting in force (from Init until Exit: what Init fixed), for a diagnostics screen.</summary>
        /// <param name="name">A <see cref="NimoOption"/> name.</param>
        /// <returns>The value, or null for an unknown name.</returns>
        public static string GetOption(string name)
        {
            byte[] key = ToUtf8(name);
            for (int size = 256; ; )
            {
                byte[] buffer = new byte[size];
                int n = OptionsNative.nimo_get_option(key, buffer, size);
                if (n < 0) return null;
                if (n < size) return Encoding.UTF8.GetString(buffer, 0, n);
                size = n + 1;  // it did not fit: ask again with room for it
            }
        }

        static class OptionsNative
        {
            const string Lib = "nimosdk64";
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_set_option(byte[] name, byte[] value);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_get_option(byte[] name, [Out] byte[] buffer, int size);
        }
    }

    // ---- Purchases the game finishes (nimo_set_purchase_listener / nimo_finish_purchase) ----

    /// <summary>
    /// A purchase the server confirmed as paid that the game has not finished yet, as JSON:
    /// {"amount","currency","extInfo","orderId","productId","quantity","status":1,"userId"}.
    /// </summary>
    /// <param name="purchaseJson">The purchase's report and the buyer's user id.</param>
    public delegate void NimoPurchase(string purchaseJson);

    public static partial class NimoSdk
    {
        /// <summary>
        /// Keeps every purchase the server confirmed as paid until <see cref="FinishPurchase"/>, and
        /// hands it to listener: right after its <see cref="CallPay"/> callback, at every start after
        /// <see cref="Init"/> succeeded (those earlier runs left, in the order they were paid), and when
        /// a purchase an earlier run could not confirm is confirmed. It runs as the callbacks do (in poll
        /// mode inside <see cref="RunCallbacks"/>). One running process of the game holds a purchase at a
        /// time. Set it before <see cref="Init"/> (or once <see cref="Exit"/> has returned).
        /// </summary>
        /// <param name="listener">Grants the goods, saves that it did, then calls FinishPurchase; null removes it.</param>
        /// <returns>Ok, or TooLate from Init until Exit has returned.</returns>
        public static SettingResult SetPurchaseListener(NimoPurchase listener)
        {
            SettingResult result = (SettingResult)PurchaseNative.nimo_set_purchase_listener(
                listener == null ? null : PurchaseEntry, IntPtr.Zero);
            if (result == SettingResult.Ok) purchaseListener = listener;
            return result;
        }

        /// <summary>
        /// The game has granted the goods of orderId: the SDK forgets the purchase for good (written
        /// and flushed to the disk before this returns). Also from inside the listener.
        /// </summary>
        /// <param name="orderId">The purchase's "orderId".</param>
        public static void FinishPurchase(string orderId) { PurchaseNative.nimo_finish_purchase(ToUtf8(orderId)); }

        // One listener per process: the delegate stays in a static field, as the entry does.
        static NimoPurchase purchaseListener;
        static readonly PurchaseNative.PurchaseListener PurchaseEntry = OnPurchase;

        [AOT.MonoPInvokeCallback(typeof(PurchaseNative.PurchaseListener))]
        static void OnPurchase(IntPtr purchaseJson, IntPtr user)
        {
            try
            {
                NimoPurchase listener = purchaseListener;
                if (listener != null) listener(FromUtf8(purchaseJson));
            }
            catch (Exception e)
            {
                ReportError(e);
            }
        }

        static class PurchaseNative
        {
            const string Lib = "nimosdk64";

            [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
            internal delegate void PurchaseListener(IntPtr purchaseJson, IntPtr user);

            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int nimo_set_purchase_listener(PurchaseListener listener, IntPtr user);
            [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void nimo_finish_purchase(byte[] orderId);
        }
    }
}
