// The few UnityEngine types the Unity sample uses, and a player that drives a MonoBehaviour
// as the engine does (Awake, Start, Update each frame, OnApplicationQuit, found by name).
//   mono UnityPlayer.exe BEHAVIOUR FRAMES: exits 0 once the behaviour reports success.
using System;
using System.Reflection;
using System.Threading;

namespace UnityEngine
{
    public class Object { }
    public class Component : Object { }
    public class Behaviour : Component { }
    public class MonoBehaviour : Behaviour { }

    [AttributeUsage(AttributeTargets.Field)]
    public sealed class SerializeField : Attribute { }

    public static class Debug
    {
        public static int Errors;
        public static void Log(object message) { Console.WriteLine(message); }
        public static void LogWarning(object message) { Console.WriteLine("warning: " + message); }
        public static void LogError(object message) { Errors++; Console.WriteLine("error: " + message); }
    }
}

static class UnityPlayer
{
    static void Send(object behaviour, string message)
    {
        MethodInfo m = behaviour.GetType().GetMethod(message, BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic);
        if (m != null) m.Invoke(behaviour, null);
    }

    static int Main(string[] args)
    {
        Type type = Type.GetType(args[0], true);
        object behaviour = Activator.CreateInstance(type);
        PropertyInfo finished = type.GetProperty("Finished"), succeeded = type.GetProperty("Succeeded");
        Send(behaviour, "Awake");
        Send(behaviour, "Start");
        for (int frame = int.Parse(args[1]); frame > 0 && !(bool)finished.GetValue(behaviour, null); frame--)
        {
            Send(behaviour, "Update");
            Thread.Sleep(16);
        }
        Send(behaviour, "OnApplicationQuit");
        bool ok = (bool)succeeded.GetValue(behaviour, null) && UnityEngine.Debug.Errors == 0;
        Console.WriteLine(ok ? "the sample finished its flow" : "the sample did not finish its flow");
        return ok ? 0 : 1;
    }
}
