// The reparse tag of an entry as FindFirstFileW reports it, read without opening the entry.
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace TarnQuill.Safety
{
    public static class ReparseTagReader
    {
        // WIN32_FIND_DATAW: dwFileAttributes at offset 0, dwReserved0 (the reparse
        // tag when the entry is a reparse point) at offset 36, 592 bytes in all.
        private const int FindDataSize = 592;
        private const int AttributesOffset = 0;
        private const int TagOffset = 36;
        private const uint ReparsePointAttribute = 0x400;
        private const int MaxShortPath = 260;
        private static readonly IntPtr InvalidHandle = new IntPtr(-1);
        private static readonly char[] Wildcards = new char[] { '*', '?', '<', '>', '"' };

        [DllImport("kernel32.dll", EntryPoint = "FindFirstFileW", CharSet = CharSet.Unicode,
            ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr FindFirstFile(string fileName, IntPtr findData);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool FindClose(IntPtr findHandle);

        public static uint Read(string path)
        {
            if (path == null)
            {
                throw new ArgumentNullException("path");
            }
            // FindFirstFileW takes these as wildcards; no real name holds them.
            if (path.IndexOfAny(Wildcards) >= 0)
            {
                throw new ArgumentException("Not a file name: " + path);
            }
            IntPtr findData = Marshal.AllocHGlobal(FindDataSize);
            try
            {
                IntPtr handle = FindFirstFile(ExtendedPath(path), findData);
                if (handle == InvalidHandle)
                {
                    throw new Win32Exception(Marshal.GetLastWin32Error(), "The reparse tag could not be read: " + path);
                }
                FindClose(handle);
                uint attributes = (uint)Marshal.ReadInt32(findData, AttributesOffset);
                if ((attributes & ReparsePointAttribute) == 0)
                {
                    return 0;
                }
                return (uint)Marshal.ReadInt32(findData, TagOffset);
            }
            finally
            {
                Marshal.FreeHGlobal(findData);
            }
        }

        // Paths of MAX_PATH characters or more need the extended-length form.
        private static string ExtendedPath(string path)
        {
            if (path.Length < MaxShortPath || path.StartsWith(@"\\?\", StringComparison.Ordinal))
            {
                return path;
            }
            if (path.StartsWith(@"\\", StringComparison.Ordinal))
            {
                return @"\\?\UNC\" + path.Substring(2);
            }
            return @"\\?\" + path;
        }
    }
}
