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
        /// <summary>"Not Found Product." from <see cref="NimoSdk.CallPay"/>; same number as ProcessExit, compare the message.</summary>
        public const int ProductNotFound = -400;
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
        /// <summary>"Http Code:S, Msg:T": no answer, or an HTTP status other than 200.</summary>
        public const int HttpError = -502;
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
    /// <c>NimoSdk.RunCallbacks()</c> in <c>Update</c>, <c>NimoSdk.Exit()</c> in <c>OnApplicationQuit</c>.
    /// Every callback is called exactly once per operation; a null callback is never called.
    /// </summary>
    public static class NimoSdk
    {
        /// <summary>Receives exceptions thrown by a callback (they never reach native code). Writes to standard error by default.</summary>
        public static Action<Exception> CallbackError = e => Console.Error.WriteLine(e);

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
        /// Refusals: -401, -405, -400 ("Process Exit!" or "Not Found Product."), the server's codes.
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
                Action<Exception> report = CallbackError;
                if (report != null) report(e);
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
}
