// A C# game in poll mode, as a Unity game runs it: every result is taken in the
// frame loop by NimoSdk.RunCallbacks() on the main thread. Plays a player's whole
// life against the sandbox (gem_300 declined by the player).
using System;
using System.Collections.Generic;
using System.Text.RegularExpressions;
using System.Threading;
using Nimo;

static class CSharpFlow
{
    struct Result { public int Code; public string Message; public string Data; public int Thread; }

    static readonly List<Result> results = new List<Result>();
    static readonly int mainThread = Thread.CurrentThread.ManagedThreadId;
    static int failures;
    static int operations;

    static NimoResult Record()
    {
        operations++;
        return (code, message, data) => results.Add(new Result {
            Code = code, Message = message, Data = data, Thread = Thread.CurrentThread.ManagedThreadId });
    }

    // The game's frame loop until the next result arrives.
    static Result Await()
    {
        int want = results.Count + 1;
        for (int frame = 0; frame < 1500 && results.Count < want; frame++)
        {
            NimoSdk.RunCallbacks();
            Thread.Sleep(10);
        }
        if (results.Count < want) throw new Exception("no result within 15 s");
        return results[want - 1];
    }

    static void Check(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok   " : "FAIL ") + what);
        if (!ok) failures++;
    }

    // Handlers that throw (and a hook that throws too) never reach native code; the game goes on.
    static void ThrowingHandlers()
    {
        Exception caught = null;
        NimoSdk.CallbackError = e => caught = e;
        NimoSdk.QueryProducts((code, message, data) => { throw new InvalidOperationException("game bug " + code); });
        for (int frame = 0; frame < 1500 && caught == null; frame++) { NimoSdk.RunCallbacks(); Thread.Sleep(10); }
        Check(caught is InvalidOperationException && caught.Message == "game bug 200", "a throwing handler is reported to the hook");
        NimoSdk.CallbackError = e => { throw new InvalidOperationException("the hook fails too"); };
        NimoSdk.QueryProducts((code, message, data) => { throw new InvalidOperationException("again"); });
        NimoSdk.RunCallbacks();
        NimoSdk.CallbackError = null;
        // Every reason of the binding is the native one of its name (TlsVerify: "tls_verify").
        foreach (NimoReason r in Enum.GetValues(typeof(NimoReason)))
        {
            if (r == NimoReason.None) continue;
            string wire = Regex.Replace(r.ToString(), "(?<=[a-z])([A-Z])", "_$1").ToLowerInvariant();
            Check(NimoSdk.FailureReason("{\"detail\":\"x\",\"reason\":\"" + wire + "\"}") == r, "reason " + wire + " read from data");
        }
    }

    static int Main()
    {
        Console.WriteLine("nimosdk64 " + NimoSdk.Version + " from C#, poll mode");
        Check(NimoSdk.SetCallbackMode(CallbackMode.OnPoll) == SettingResult.Ok, "poll mode set before init");

        NimoSdk.Login(Record());
        Check(results.Count == 0, "a refusal waits for the poll");
        Check(Await().Code == NimoCodes.NotInit, "login before init refused");

        SetOptionsAsAReleaseGame();
        NimoSdk.Init(Environment.GetEnvironmentVariable("DEMO_APP_ID"),
                     Environment.GetEnvironmentVariable("DEMO_APP_KEY"), Record());
        Check(Await().Code == NimoCodes.Ok, "init");
        Check(NimoSdk.SetCallbackMode(CallbackMode.OnSdkThreads) == SettingResult.TooLate, "mode refused after init");
        Check(NimoSdk.SetOption(NimoOption.IoTimeoutMs, "5000") == SettingResult.TooLate
              && NimoSdk.GetOption(NimoOption.Environment) == "ignore", "options fixed by init");

        NimoSdk.QueryProducts(Record());
        Result products = Await();
        Check(products.Code == NimoCodes.Ok && products.Data.Contains("\"gem_60\""), "catalogue");

        NimoSdk.Login(Record());
        Result login = Await();
        Check(login.Code == NimoCodes.Ok && login.Data.Contains("\"token\""), "login");
        Check(NimoSdk.IsPayAvailable, "pay available");

        NimoSdk.SetServerId("s1");
        NimoSdk.SetGameUserId("hero");
        NimoSdk.SetNickName("Ária");
        NimoSdk.SetLevel(12);

        NimoSdk.CallPay("gem_60", "宝箱-gold", Record());
        Result approved = Await();
        Check(NimoSdk.IsPaid(approved.Code, approved.Data), "approved purchase");
        Check(approved.Data.Contains("\"extInfo\":\"宝箱-gold\""), "UTF-8 both ways (extInfo comes back unchanged)");

        NimoSdk.CallPay("gem_300", null, Record());
        Result declined = Await();
        Check(declined.Code == NimoCodes.Ok && !NimoSdk.IsPaid(declined.Code, declined.Data), "declined purchase: 200, not paid");

        NimoSdk.CallPay("no_such_product", "", Record());
        Result unknown = Await();
        Check(unknown.Code == NimoCodes.ProductNotFound && unknown.Message == "Not Found Product.", "unknown product");

        ThrowingHandlers();

        NimoSdk.PostEvent("level_up", "{\"stage\":3}", 2.5);
        NimoSdk.PostEvent("zko_level_achieved");

        NimoSdk.Exit();
        NimoSdk.RunCallbacks();
        Thread.Sleep(200);
        NimoSdk.RunCallbacks();

        SecondSession();
        FinishedPurchases();

        Check(results.Count == operations, "exactly one result per operation (" + results.Count + " of " + operations + ")");
        bool onMain = true;
        foreach (Result r in results) onMain &= r.Thread == mainThread;
        Check(onMain, "every callback on the main thread");
        Console.WriteLine(failures == 0 ? "all steps as expected" : "FAILED");
        return failures == 0 ? 0 : 1;
    }

    // ---- options: the game's own servers, the environment ignored ----

    // The sandbox comes through the environment here; a release game would have
    // the values built in. Init can only reach it if the options arrive.
    static void SetOptionsAsAReleaseGame()
    {
        string api = NimoSdk.GetOption(NimoOption.ApiBaseUrl);
        Check(api == Environment.GetEnvironmentVariable("NIMOSDK_API_BASE_URL"), "option in force from the environment");
        Check(NimoSdk.SetOption(NimoOption.Environment, "ignore") == SettingResult.Ok, "environment ignored");
        Check(NimoSdk.GetOption(NimoOption.ApiBaseUrl) != api, "default once ignored");
        Check(NimoSdk.SetOption(NimoOption.ApiBaseUrl, api) == SettingResult.Ok
              && NimoSdk.SetOption(NimoOption.TrackUrl, Environment.GetEnvironmentVariable("NIMOSDK_TRACK_URL")) == SettingResult.Ok
              && NimoSdk.SetOption(NimoOption.CaFile, Environment.GetEnvironmentVariable("NIMOSDK_CA_FILE")) == SettingResult.Ok
              && NimoSdk.GetOption(NimoOption.ApiBaseUrl) == api, "servers and CA set by the game");
        Check(NimoSdk.SetOption(NimoOption.IoTimeoutMs, "soon") == SettingResult.Invalid
              && NimoSdk.GetOption("no_such_option") == null, "bad value and unknown name");
    }

    // The Unity Editor's next Play: the library stays loaded, Init after Exit
    // starts a new session with nobody logged in.
    static void SecondSession()
    {
        Check(NimoSdk.SetCallbackMode(CallbackMode.OnPoll) == SettingResult.Ok, "mode settable again after exit");
        NimoSdk.Init(Environment.GetEnvironmentVariable("DEMO_APP_ID"),
                     Environment.GetEnvironmentVariable("DEMO_APP_KEY"), Record());
        Check(Await().Code == NimoCodes.Ok, "second session: init");

        NimoSdk.CallPay("gem_60", "second", Record());
        Check(Await().Code == NimoCodes.NotLogin, "second session: not logged in");

        NimoSdk.Login(Record());
        Check(Await().Code == NimoCodes.Ok, "second session: login");
        NimoSdk.CallPay("gem_60", "second", Record());
        Result paid = Await();
        Check(paid.Code == NimoCodes.Ok && paid.Data.Contains("\"status\":1") && paid.Data.Contains("\"extInfo\":\"second\""),
              "second session: approved purchase");

        NimoSdk.Exit();
        NimoSdk.RunCallbacks();
        Thread.Sleep(200);
        NimoSdk.RunCallbacks();
    }

    // A purchase the game quits before granting comes again at the next start
    // until the game finishes it; then never again.
    static void FinishedPurchases()
    {
        var got = new List<string>();
        Check(NimoSdk.SetPurchaseListener(json => got.Add(json)) == SettingResult.Ok, "purchase listener set before init");
        NimoSdk.Init(Environment.GetEnvironmentVariable("DEMO_APP_ID"),
                     Environment.GetEnvironmentVariable("DEMO_APP_KEY"), Record());
        Check(Await().Code == NimoCodes.Ok, "listener: init");
        Check(NimoSdk.SetPurchaseListener(null) == SettingResult.TooLate, "listener fixed by init");
        NimoSdk.Login(Record());
        Check(Await().Code == NimoCodes.Ok, "listener: login");
        NimoSdk.CallPay("gem_60", "kept", Record());
        Result paid = Await();
        string order = Regex.Match(paid.Data, "\"orderId\":\"([^\"]*)\"").Groups[1].Value;
        Frames(50);
        Check(NimoSdk.IsPaid(paid.Code, paid.Data) && got.Count == 1 && got[0].Contains("\"orderId\":\"" + order + "\"")
              && got[0].Contains("\"userId\":"), "the purchase reaches the listener after its callback");
        NimoSdk.Exit();  // quits without finishing
        NimoSdk.RunCallbacks();

        Check(Restart() && got.Count == 2 && got[1] == got[0], "the next start receives it again");
        NimoSdk.FinishPurchase(order);
        NimoSdk.Exit();
        NimoSdk.RunCallbacks();
        Check(Restart() && got.Count == 2, "finished: never again");
        NimoSdk.Exit();
        NimoSdk.RunCallbacks();
    }

    static bool Restart()
    {
        NimoSdk.Init(Environment.GetEnvironmentVariable("DEMO_APP_ID"),
                     Environment.GetEnvironmentVariable("DEMO_APP_KEY"), Record());
        bool ok = Await().Code == NimoCodes.Ok;
        Frames(100);
        return ok;
    }

    static void Frames(int n)
    {
        for (int frame = 0; frame < n; frame++) { NimoSdk.RunCallbacks(); Thread.Sleep(10); }
    }
}
