// Free bytes for the calling user and the volume that a folder really lives on.
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;

namespace TarnQuill.Setup
{
    // What one folder's handle says of its volume. Serial and Root together name the volume:
    // two folders lie on one volume exactly when both are equal. FreeBytes is -1, and
    // FreeSpaceError says why, when the volume is known but its free space could not be read.
    public sealed class VolumeFacts
    {
        public uint Serial;
        public string FinalPath;
        public string Root;
        public long FreeBytes;
        public string FreeSpaceError;
    }

    public static class DiskSpace
    {
        private const uint FileReadAttributes = 0x80;
        private const uint ShareAll = 0x7;
        private const uint OpenExisting = 3;
        private const uint BackupSemantics = 0x02000000;
        private static readonly IntPtr InvalidHandle = new IntPtr(-1);

        [StructLayout(LayoutKind.Sequential)]
        private struct ByHandleFileInformation
        {
            public uint Attributes;
            public uint CreationLow;
            public uint CreationHigh;
            public uint AccessLow;
            public uint AccessHigh;
            public uint WriteLow;
            public uint WriteHigh;
            public uint VolumeSerialNumber;
            public uint SizeHigh;
            public uint SizeLow;
            public uint NumberOfLinks;
            public uint IndexHigh;
            public uint IndexLow;
        }

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool GetDiskFreeSpaceExW(string directoryName, out ulong freeBytesAvailableToCaller,
            out ulong totalNumberOfBytes, out ulong totalNumberOfFreeBytes);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool GetVolumePathNameW(string fileName, StringBuilder volumePathName, uint bufferLength);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr CreateFileW(string fileName, uint desiredAccess, uint shareMode, IntPtr securityAttributes,
            uint creationDisposition, uint flagsAndAttributes, IntPtr templateFile);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool GetFileInformationByHandle(IntPtr file, out ByHandleFileInformation information);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        private static extern uint GetFinalPathNameByHandleW(IntPtr file, StringBuilder path, uint length, uint flags);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool CloseHandle(IntPtr handle);

        // Bytes free to the calling user on the volume of the folder; -1 when the call fails.
        public static long GetFreeBytes(string folder)
        {
            ulong free;
            ulong total;
            ulong totalFree;
            if (!GetDiskFreeSpaceExW(folder, out free, out total, out totalFree))
            {
                return -1;
            }
            return free > (ulong)long.MaxValue ? long.MaxValue : (long)free;
        }

        // The root of the volume that holds the folder; null when the call fails.
        public static string GetVolume(string folder)
        {
            StringBuilder volume = new StringBuilder(32768);
            if (!GetVolumePathNameW(folder, volume, (uint)volume.Capacity))
            {
                return null;
            }
            return volume.ToString();
        }

        // The volume an existing folder really lives on, read through a handle to the folder
        // itself: a junction, a symbolic link, a subst drive or a mount point on the way is
        // followed, as the writes into the folder will be. Throws a Win32Exception that names
        // the call that failed when the volume itself cannot be told.
        public static VolumeFacts ReadVolume(string folder)
        {
            IntPtr handle = CreateFileW(folder, FileReadAttributes, ShareAll, IntPtr.Zero, OpenExisting, BackupSemantics, IntPtr.Zero);
            if (handle == InvalidHandle)
            {
                throw Failure("CreateFileW");
            }
            VolumeFacts facts = new VolumeFacts();
            try
            {
                ByHandleFileInformation information;
                if (!GetFileInformationByHandle(handle, out information))
                {
                    throw Failure("GetFileInformationByHandle");
                }
                facts.Serial = information.VolumeSerialNumber;
                StringBuilder final = new StringBuilder(32768);
                uint length = GetFinalPathNameByHandleW(handle, final, (uint)final.Capacity, 0);
                if (length == 0 || length >= final.Capacity)
                {
                    throw Failure("GetFinalPathNameByHandleW");
                }
                facts.FinalPath = WithoutVerbatimPrefix(final.ToString());
            }
            finally
            {
                CloseHandle(handle);
            }
            string withSeparator = facts.FinalPath;
            if (!withSeparator.EndsWith("\\", StringComparison.Ordinal) && !withSeparator.EndsWith("/", StringComparison.Ordinal))
            {
                withSeparator += System.IO.Path.DirectorySeparatorChar;
            }
            facts.Root = GetVolume(withSeparator);
            if (facts.Root == null)
            {
                throw Failure("GetVolumePathNameW");
            }
            facts.FreeBytes = GetFreeBytes(withSeparator);
            if (facts.FreeBytes < 0)
            {
                facts.FreeSpaceError = Failure("GetDiskFreeSpaceExW").Message;
            }
            return facts;
        }

        // \\?\C:\x is C:\x and \\?\UNC\server\share\x is \\server\share\x, as the user writes them.
        private static string WithoutVerbatimPrefix(string path)
        {
            if (path.StartsWith("\\\\?\\UNC\\", StringComparison.OrdinalIgnoreCase))
            {
                return "\\\\" + path.Substring(8);
            }
            if (path.StartsWith("\\\\?\\", StringComparison.Ordinal))
            {
                return path.Substring(4);
            }
            return path;
        }

        private static Win32Exception Failure(string call)
        {
            int error = Marshal.GetLastWin32Error();
            return new Win32Exception(error, call + " failed: " + new Win32Exception(error).Message);
        }
    }
}
