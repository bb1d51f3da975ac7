// Free bytes for the calling user and the volume root of a folder.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace TarnQuill.Setup
{
    public static class DiskSpace
    {
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool GetDiskFreeSpaceExW(string directoryName, out ulong freeBytesAvailableToCaller,
            out ulong totalNumberOfBytes, out ulong totalNumberOfFreeBytes);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool GetVolumePathNameW(string fileName, StringBuilder volumePathName, uint bufferLength);

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
    }
}
