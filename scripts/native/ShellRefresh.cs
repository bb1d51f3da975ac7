// The shell notification that file associations and icons changed.
using System;
using System.Runtime.InteropServices;

public static class TarnquillShellRefresh
{
    [DllImport("shell32.dll")]
    public static extern void SHChangeNotify(uint eventId, uint flags, IntPtr item1, IntPtr item2);
}
