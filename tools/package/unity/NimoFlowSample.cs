// The SDK's flow in poll mode: every callback arrives inside Update, on the main thread, so
// it may touch Unity objects. Put it on a GameObject of the first scene. The defaults are the
// sandbox's first game and product (sandbox/README.md in the SDK's archive).
using UnityEngine;
using Nimo;

public class NimoFlowSample : MonoBehaviour
{
    [SerializeField] string appId = "10001";
    [SerializeField] string appKey = "sandbox-key-10001";
    [SerializeField] string productId = "gem_60";

    public bool Finished { get; private set; }
    public bool Succeeded { get; private set; }

    void Awake()
    {
        NimoSdk.CallbackError = e => Debug.LogError(e);
        // Must come before Init: afterwards the mode is fixed.
        if (NimoSdk.SetCallbackMode(CallbackMode.OnPoll) != SettingResult.Ok)
            Debug.LogWarning("nimosdk64 was set up before this scene; its callbacks may run on its own threads");
        Debug.Log("nimosdk64 " + NimoSdk.Version);
    }

    void Start()
    {
        NimoSdk.Init(appId, appKey, (code, message, data) =>
        {
            if (!Passed("Init", code, message)) return;
            NimoSdk.Login((c, m, d) =>
            {
                if (!Passed("Login", c, m)) return;
                NimoSdk.SetServerId("s1");
                NimoSdk.SetGameUserId("hero-1");
                NimoSdk.SetNickName("Hero");
                NimoSdk.SetLevel(1);
                NimoSdk.QueryProducts(OnProducts);
            });
        });
    }

    void OnProducts(int code, string message, string data)
    {
        if (!Passed("QueryProducts", code, message)) return;
        Debug.Log("products: " + data);
        NimoSdk.CallPay(productId, "sample", (c, m, report) =>
        {
            if (!Passed("CallPay", c, m)) return;
            // Grant the goods only when the report says the player paid.
            bool paid = report.Contains("\"status\":1");
            Debug.Log((paid ? "paid: " : "not paid: ") + report);
            NimoSdk.PostEvent("sample_purchase", "{\"product\":\"" + productId + "\"}");
            Finish(paid);
        });
    }

    void Update()
    {
        NimoSdk.RunCallbacks();
    }

    void OnApplicationQuit()
    {
        NimoSdk.Exit();
        NimoSdk.RunCallbacks();  // the answers Exit gives to what was still open
    }

    bool Passed(string call, int code, string message)
    {
        if (code == NimoCodes.Ok) return true;
        Debug.LogError(call + " failed: " + code + " " + message);
        Finish(false);
        return false;
    }

    void Finish(bool ok)
    {
        Finished = true;
        Succeeded = ok;
    }
}
