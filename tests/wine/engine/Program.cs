// Windows PowerShell stand-in for the Wine tests: the PowerShell 7 console host, so the command
// line, -File, -Command and exit codes behave as in powershell.exe.
//
// Wine gives a console program a console only when a standard handle is a terminal or when it
// is started with a new console under an X display. Started from a test without either, the
// console host would fail on its first console call and end with 0, so the host starts itself
// again without a window (Wine then makes a hidden console), hands it its own standard handles
// and ends with its exit code.
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

internal static class Program
{
    private const string ChildMarker = "TARNQUILL_ENGINE_HIDDEN_CONSOLE";
    private const string CompileLogVariable = "TARNQUILL_ENGINE_COMPILE_LOG";
    private const uint CreateNoWindow = 0x08000000;
    private const uint CreateUnicodeEnvironment = 0x00000400;
    private const int UseStdHandles = 0x00000100;
    private const uint HandleFlagInherit = 1;

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
    private struct StartupInfo
    {
        public int cb;
        public IntPtr lpReserved, lpDesktop, lpTitle;
        public int dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
        public short wShowWindow, cbReserved2;
        public IntPtr lpReserved2, hStdInput, hStdOutput, hStdError;
    }

    [StructLayout(LayoutKind.Sequential)]
    private struct ProcessInformation
    {
        public IntPtr hProcess, hThread;
        public int dwProcessId, dwThreadId;
    }

    [DllImport("kernel32.dll")]
    private static extern uint GetConsoleCP();

    [DllImport("kernel32.dll")]
    private static extern IntPtr GetStdHandle(int which);

    [DllImport("kernel32.dll")]
    private static extern bool SetHandleInformation(IntPtr handle, uint mask, uint flags);

    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    private static extern bool CreateProcessW(string application, string commandLine, IntPtr processAttributes,
        IntPtr threadAttributes, bool inheritHandles, uint flags, IntPtr environment, string directory,
        ref StartupInfo startup, out ProcessInformation information);

    [DllImport("kernel32.dll")]
    private static extern uint WaitForSingleObject(IntPtr handle, uint milliseconds);

    [DllImport("kernel32.dll")]
    private static extern bool GetExitCodeProcess(IntPtr process, out uint code);

    private static int Main(string[] args)
    {
        // The marker guards against a second start only in the child itself: a PowerShell that
        // the child starts in turn (Start-Process opens a new console, which Wine without a
        // display does not give) needs the same treatment.
        var restarted = Environment.GetEnvironmentVariable(ChildMarker) != null;
        Environment.SetEnvironmentVariable(ChildMarker, null);
        if (GetConsoleCP() == 0 && !restarted)
        {
            return RunInHiddenConsole();
        }
        CountCompiles();
        return Microsoft.PowerShell.UnmanagedPSEntry.Start(args, args.Length);
    }

    // With TARNQUILL_ENGINE_COMPILE_LOG set, the engine appends to that file, when it ends, one
    // line: how many assemblies compiled C# made in this process, and its command line. Add-Type
    // loads what it compiled from memory, so such an assembly has no file and is not dynamic.
    private static void CountCompiles()
    {
        var log = Environment.GetEnvironmentVariable(CompileLogVariable);
        if (string.IsNullOrEmpty(log))
        {
            return;
        }
        var compiles = 0;
        AppDomain.CurrentDomain.AssemblyLoad += (sender, loaded) =>
        {
            if (!loaded.LoadedAssembly.IsDynamic && string.IsNullOrEmpty(loaded.LoadedAssembly.Location))
            {
                System.Threading.Interlocked.Increment(ref compiles);
            }
        };
        AppDomain.CurrentDomain.ProcessExit += (sender, ended) =>
            System.IO.File.AppendAllText(log, "compiles " + compiles + " " + Environment.CommandLine + "\r\n");
    }

    private static int RunInHiddenConsole()
    {
        Environment.SetEnvironmentVariable(ChildMarker, "1");
        var startup = new StartupInfo { cb = Marshal.SizeOf<StartupInfo>(), dwFlags = UseStdHandles };
        startup.hStdInput = Inheritable(-10);
        startup.hStdOutput = Inheritable(-11);
        startup.hStdError = Inheritable(-12);
        // The command line is passed on unchanged, so the child parses exactly what we were given.
        if (!CreateProcessW(Environment.ProcessPath, Environment.CommandLine, IntPtr.Zero, IntPtr.Zero, true,
                CreateNoWindow | CreateUnicodeEnvironment, IntPtr.Zero, null, ref startup, out var child))
        {
            throw new Win32Exception();
        }
        WaitForSingleObject(child.hProcess, 0xFFFFFFFF);
        GetExitCodeProcess(child.hProcess, out var code);
        return unchecked((int)code);
    }

    private static IntPtr Inheritable(int which)
    {
        var handle = GetStdHandle(which);
        SetHandleInformation(handle, HandleFlagInherit, HandleFlagInherit);
        return handle;
    }
}
