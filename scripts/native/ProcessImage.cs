// The executable path of a process, read with the limited query right alone.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace TarnQuill.Setup
{
    public static class ProcessImage
    {
        // PROCESS_QUERY_LIMITED_INFORMATION: granted for an elevated process of the same user
        // too, where Process.Path needs memory-read access that such a process refuses.
        private const uint QueryLimitedInformation = 0x1000;

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr OpenProcess(uint desiredAccess,
            [MarshalAs(UnmanagedType.Bool)] bool inheritHandle, uint processId);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool QueryFullProcessImageNameW(IntPtr process, uint flags,
            StringBuilder exeName, ref uint size);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool CloseHandle(IntPtr handle);

        // The Win32 path of the process's executable; null when it cannot be read.
        public static string GetPath(int processId)
        {
            IntPtr process = OpenProcess(QueryLimitedInformation, false, (uint)processId);
            if (process == IntPtr.Zero)
            {
                return null;
            }
            try
            {
                StringBuilder path = new StringBuilder(32768);
                uint size = (uint)path.Capacity;
                if (!QueryFullProcessImageNameW(process, 0, path, ref size))
                {
                    return null;
                }
                return path.ToString(0, (int)size);
            }
            finally
            {
                CloseHandle(process);
            }
        }
    }
}
