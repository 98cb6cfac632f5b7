"""A reader of the minidump layout as documented (header, stream directory, system information,
threads with their contexts and stacks, modules with names and versions, the exception, the
memory lists), written for the tests: it shares no code with the program that writes the dumps."""
import struct


class Dump:
    """The streams this test needs, read from the documented layout."""

    def __init__(self, path):
        self.data = data = open(path, 'rb').read()
        signature, _, count, directory, _, _, self.flags = struct.unpack_from('<4sIIIIIQ', data, 0)
        if signature != b'MDMP':
            raise ValueError('not a minidump: %r' % signature)
        self.streams = {}
        for i in range(count):
            kind, size, rva = struct.unpack_from('<III', data, directory + 12 * i)
            self.streams[kind] = (size, rva)
        self.threads = {}  # id -> (stack start, stack size, context rva)
        _, rva = self.streams[3]
        for i in range(struct.unpack_from('<I', data, rva)[0]):
            tid, _, _, _, _, start, size, _, _, context = struct.unpack_from('<IIIIQQIIII', data, rva + 4 + 48 * i)
            self.threads[tid] = (start, size, context)
        self.modules = []
        self.module_bases = []
        self.versioned = []  # the module's entry holds its version resource's fixed part
        _, rva = self.streams[4]
        for i in range(struct.unpack_from('<I', data, rva)[0]):
            base, size, _, _, name_rva = struct.unpack_from('<QIIII', data, rva + 4 + 108 * i)
            length = struct.unpack_from('<I', data, name_rva)[0]
            self.modules.append(data[name_rva + 4:name_rva + 4 + length].decode('utf-16-le'))
            self.module_bases.append(base)
            self.versioned.append(struct.unpack_from('<I', data, rva + 4 + 108 * i + 24)[0] == 0xFEEF04BD)
        # All memory (a dump with full memory): ranges and where their bytes lie.
        self.memory = []
        if 9 in self.streams:
            _, rva = self.streams[9]
            ranges, base = struct.unpack_from('<QQ', data, rva)
            for i in range(ranges):
                start, size = struct.unpack_from('<QQ', data, rva + 16 + 16 * i)
                self.memory.append((start, size, base))
                base += size
        # The system information stream's processor architecture: 9 is x64, 0 is x86.
        self.wide = struct.unpack_from('<H', data, self.streams[7][1])[0] == 9
        self.exception = None
        if 6 in self.streams:
            _, rva = self.streams[6]
            tid, _, code, _, _, address = struct.unpack_from('<IIIIQQ', data, rva)
            context = struct.unpack_from('<I', data, rva + 8 + 152 + 4)[0]
            self.exception = (tid, code, address, context)

    def read(self, address, size):
        """Bytes of the process's memory from the full-memory list, None when not dumped."""
        for start, length, at in self.memory:
            if start <= address and address + size <= start + length:
                return self.data[at + address - start:at + address - start + size]
        return None

    def registers(self, context_rva):
        """The stack and instruction pointers of the CONTEXT (x64: Rsp, Rip; x86: Esp, Eip)."""
        if self.wide:
            return struct.unpack_from('<Q', self.data, context_rva + 0x98)[0], \
                struct.unpack_from('<Q', self.data, context_rva + 0xF8)[0]
        return struct.unpack_from('<I', self.data, context_rva + 0xC4)[0], \
            struct.unpack_from('<I', self.data, context_rva + 0xB8)[0]
