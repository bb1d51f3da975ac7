// Icon resources written into an executable through the kernel32 resource-update functions.
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

namespace TarnQuill.Build
{
    internal sealed class IconEntry
    {
        public byte Width;
        public byte Height;
        public byte ColorCount;
        public byte Reserved;
        public ushort Planes;
        public ushort BitCount;
        public uint BytesInResource;
        public uint ImageOffset;
        public byte[] Data;
        public ushort ResourceId;
    }

    public static class IconResourceWriter
    {
        private const int IconResourceType = 3;
        private const int GroupIconResourceType = 14;
        private const int FirstImageId = 5001;
        private const int GroupHeaderSize = 6;
        private const int GroupEntrySize = 14;
        private static readonly int[] GroupIds = new int[] { 1, 101, 32512 };
        private static readonly ushort[] Languages = new ushort[] { 0, 1033, 1049, 1031, 1053 };
        private const int UpdateAttempts = 10;
        private const int RetryDelayMilliseconds = 500;
        private const int AccessDenied = 5;
        private const int SharingViolation = 32;
        private const int LockViolation = 33;

        [DllImport("kernel32.dll", EntryPoint = "BeginUpdateResourceW", CharSet = CharSet.Unicode,
            ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr BeginUpdateResource(
            string fileName,
            [MarshalAs(UnmanagedType.Bool)] bool deleteExistingResources);

        [DllImport("kernel32.dll", EntryPoint = "UpdateResourceW", CharSet = CharSet.Unicode,
            ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool UpdateResource(
            IntPtr updateHandle,
            IntPtr resourceType,
            IntPtr resourceName,
            ushort language,
            byte[] data,
            uint dataSize);

        [DllImport("kernel32.dll", EntryPoint = "EndUpdateResourceW", CharSet = CharSet.Unicode,
            ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool EndUpdateResource(
            IntPtr updateHandle,
            [MarshalAs(UnmanagedType.Bool)] bool discard);

        // Writes the icon into the executable in one resource update; any
        // failure before the commit discards the update. A virus scanner that
        // has just opened the new file can hold it for a moment, so an update
        // whose begin or commit another process's handle refused is tried again.
        public static void Apply(string executablePath, string iconPath)
        {
            if (executablePath == null)
            {
                throw new ArgumentNullException("executablePath");
            }
            List<IconEntry> entries = ReadIcon(iconPath);

            for (int attempt = 1; ; attempt++)
            {
                Win32Exception held = WriteIcon(executablePath, entries);
                if (held == null)
                {
                    return;
                }
                if (attempt >= UpdateAttempts)
                {
                    throw held;
                }
                Thread.Sleep(RetryDelayMilliseconds);
            }
        }

        // One resource update. Returns null once it is committed, or the error
        // of a begin or commit refused because the file is held; every other
        // failure is thrown.
        private static Win32Exception WriteIcon(string executablePath, List<IconEntry> entries)
        {
            IntPtr updateHandle = BeginUpdateResource(executablePath, false);
            if (updateHandle == IntPtr.Zero)
            {
                return HeldOrThrow(Marshal.GetLastWin32Error(), "BeginUpdateResource failed.");
            }

            try
            {
                foreach (IconEntry entry in entries)
                {
                    foreach (ushort language in Languages)
                    {
                        WriteResource(updateHandle, IconResourceType, entry.ResourceId, language, entry.Data);
                    }
                }
                byte[] group = BuildGroup(entries);
                foreach (int groupId in GroupIds)
                {
                    foreach (ushort language in Languages)
                    {
                        WriteResource(updateHandle, GroupIconResourceType, groupId, language, group);
                    }
                }
            }
            catch
            {
                // The first error is the one worth reporting; the discard's
                // own result is of no further use.
                EndUpdateResource(updateHandle, true);
                throw;
            }

            // A refused commit may already have released the handle, so it is
            // not ended a second time.
            if (!EndUpdateResource(updateHandle, false))
            {
                return HeldOrThrow(Marshal.GetLastWin32Error(), "EndUpdateResource failed.");
            }
            return null;
        }

        private static Win32Exception HeldOrThrow(int errorCode, string message)
        {
            Win32Exception error = new Win32Exception(errorCode, message);
            if (errorCode == AccessDenied || errorCode == SharingViolation || errorCode == LockViolation)
            {
                return error;
            }
            throw error;
        }

        private static List<IconEntry> ReadIcon(string iconPath)
        {
            if (iconPath == null)
            {
                throw new ArgumentNullException("iconPath");
            }
            using (FileStream stream = new FileStream(iconPath, FileMode.Open, FileAccess.Read, FileShare.Read))
            using (BinaryReader reader = new BinaryReader(stream))
            {
                ushort reserved = reader.ReadUInt16();
                ushort type = reader.ReadUInt16();
                ushort count = reader.ReadUInt16();
                if (reserved != 0 || type != 1 || count < 1)
                {
                    throw new InvalidDataException("The supplied file is not a valid Windows ICO file.");
                }

                List<IconEntry> entries = new List<IconEntry>(count);
                for (int index = 0; index < count; index++)
                {
                    IconEntry entry = new IconEntry();
                    entry.Width = reader.ReadByte();
                    entry.Height = reader.ReadByte();
                    entry.ColorCount = reader.ReadByte();
                    entry.Reserved = reader.ReadByte();
                    entry.Planes = reader.ReadUInt16();
                    entry.BitCount = reader.ReadUInt16();
                    entry.BytesInResource = reader.ReadUInt32();
                    entry.ImageOffset = reader.ReadUInt32();
                    entry.ResourceId = checked((ushort)(FirstImageId + index));
                    entries.Add(entry);
                }

                foreach (IconEntry entry in entries)
                {
                    int length = checked((int)entry.BytesInResource);
                    // Checked against the file length first, so a bogus length
                    // never allocates a buffer for bytes that are not there.
                    if ((long)entry.ImageOffset + length > stream.Length)
                    {
                        throw new InvalidDataException("ICO image data is truncated.");
                    }
                    stream.Seek(entry.ImageOffset, SeekOrigin.Begin);
                    entry.Data = reader.ReadBytes(length);
                    if (entry.Data.Length != length)
                    {
                        throw new InvalidDataException("ICO image data is truncated.");
                    }
                }
                return entries;
            }
        }

        // GRPICONDIR: the ICO directory with each 32-bit image offset replaced
        // by the 16-bit resource ID of that image.
        private static byte[] BuildGroup(List<IconEntry> entries)
        {
            byte[] group = new byte[checked(GroupHeaderSize + GroupEntrySize * entries.Count)];
            using (MemoryStream stream = new MemoryStream(group))
            using (BinaryWriter writer = new BinaryWriter(stream))
            {
                writer.Write((ushort)0);
                writer.Write((ushort)1);
                writer.Write(checked((ushort)entries.Count));
                foreach (IconEntry entry in entries)
                {
                    writer.Write(entry.Width);
                    writer.Write(entry.Height);
                    writer.Write(entry.ColorCount);
                    writer.Write(entry.Reserved);
                    writer.Write(entry.Planes);
                    writer.Write(entry.BitCount);
                    writer.Write(entry.BytesInResource);
                    writer.Write(entry.ResourceId);
                }
            }
            return group;
        }

        // Type and name go to the platform as integer identifiers.
        private static void WriteResource(IntPtr updateHandle, int resourceType, int resourceName,
            ushort language, byte[] data)
        {
            if (!UpdateResource(updateHandle, new IntPtr(resourceType), new IntPtr(resourceName), language,
                data, (uint)data.Length))
            {
                throw new Win32Exception(Marshal.GetLastWin32Error(), "UpdateResource failed.");
            }
        }
    }
}
