#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets ref_list, bgzf, faidx, razf
and knet into tests/fuzz/corpus/<target>/.  The output depends on nothing
but this script, so running it again gives the same files."""

import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def raw_deflate(data, flush_every=None):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    if not flush_every:
        return c.compress(data) + c.flush()
    out, ends = b"", []
    for i in range(0, len(data), flush_every):
        out += c.compress(data[i:i + flush_every])
        if i + flush_every < len(data):
            out += c.flush(zlib.Z_FULL_FLUSH)
            ends.append(len(out))
    return out + c.flush(), ends


def bgzf_block(data):
    cdata = raw_deflate(data)
    bsize = 18 + len(cdata) + 8
    head = bytes([31, 139, 8, 4, 0, 0, 0, 0, 0, 255]) + struct.pack("<HBBHH", 6, 66, 67, 2, bsize - 1)
    return head + cdata + struct.pack("<II", zlib.crc32(data), len(data))


def gzip_member(data):
    return bytes([31, 139, 8, 0, 0, 0, 0, 0, 0, 3]) + raw_deflate(data) + struct.pack("<II", zlib.crc32(data), len(data))


def razf(data):
    """Gzip header with the RAZF extra field, deflate data fully flushed
    every 32768 bytes, the big-endian block index and the trailer."""
    head = bytes([31, 139, 8, 4, 0, 0, 0, 0, 0, 3, 7, 0]) + b"RAZF" + bytes([1, 0x80, 0x00])
    cdata, ends = raw_deflate(data, 32768)
    end = len(head) + len(cdata)
    index = struct.pack(">i", len(ends)) + struct.pack(">q", 0)
    index += b"".join(struct.pack(">I", len(head) + e) for e in ends)
    return head + cdata + index + struct.pack(">qq", len(data), end)


def fasta(names_lens, width):
    """A FASTA file of periodic sequences, which compresses to little."""
    out = b""
    for name, length in names_lens:
        out += b">" + name + b" description\n"
        seq = (b"ACGTTGCAACGGN" * (length // 13 + 1))[:length]
        for i in range(0, length, width):
            out += bytes(seq[i:i + width]) + b"\n"
    return out


def main():
    # Reference lists: name and length, extra fields, a repeated name.
    write("ref_list", "seed1", b"chr1\t248956422\nchr2 242193529\nchrM\t16569\textra fields\n")
    write("ref_list", "seed2", b"a\t10\nb\t20\na\t30\n\nc\n")

    # BGZF: two virtual offsets, then two data blocks and the end-of-file block.
    b1, b2 = bgzf_block(b"BAM\1" + bytes(range(256)) * 4), bgzf_block(b"second block " * 50)
    eof = bgzf_block(b"")
    vo = struct.pack("<qq", 5, (len(b1) << 16) | 3)
    write("bgzf", "seed1", vo + b1 + b2 + eof)
    write("bgzf", "seed2", struct.pack("<qq", 0, 1 << 16) + eof)

    # FASTA, then a NUL and an index text (matching the first, not the second).
    fa = b">chr1 first\nACGTACGTAC\nACGTACGTAC\nACG\n>chr2\nNNNN\nAC\n\n>chr3\n\n>chr4\nacgtn\n"
    fai = b"chr1\t23\t12\t10\t11\nchr2\t6\t42\t4\t5\nchr3\t0\t57\t0\t0\nchr4\t5\t64\t5\t6\n"
    write("faidx", "seed1", fa + b"\0" + fai)
    write("faidx", "seed2", fa + b"\0" + b"chr1\t1000\t0\t3\t1\nchr2\t5\t999\t7\t9\n")
    write("faidx", "seed3", gzip_member(fasta([(b"g1", 300), (b"g2", 61)], 60)))
    write("faidx", "seed4", razf(fasta([(b"r1", 40000), (b"r2", 100)], 60)))

    # RAZF: the index flag byte, then a RAZF, gzip or plain file.
    big = fasta([(b"x", 70000)], 70)
    write("razf", "seed1", b"\1" + razf(big))
    write("razf", "seed2", b"\0" + razf(big))
    write("razf", "seed3", b"\1" + gzip_member(b"plain gzip data\n" * 300))
    write("razf", "seed4", b"\1" + b"plain text\n" * 50)

    # Remote responses: byte 0 even for HTTP, odd for FTP.
    body = bytes(range(256)) * 2
    write("knet", "http206", b"\0HTTP/1.0 206 Partial Content\r\nContent-Type: application/octet-stream\r\n\r\n" + body)
    write("knet", "http200", b"\0HTTP/1.1 200 OK\r\n\r\n" + body)
    write("knet", "http-length", b"\0HTTP/1.1 200 OK\r\nContent-Length: 600\r\n\r\n" + body)
    write("knet", "http302", b"\0HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1/x\r\n\r\n")
    write("knet", "http-short", b"\0HTTP/1.0 20")
    ftp = (b"220-test server\r\n\r\n220 ready\r\n331 send password\r\n230 logged in\r\n200 type set\r\n"
           b"227 Entering Passive Mode (127,0,0,1,4,1).\r\n213 512\r\n350 restarting at 0\r\n"
           b"150-opening data connection\r\n for data.bin\r\n150 512 bytes follow\r\n226 transfer complete\r\n")
    write("knet", "ftp", b"\1" + ftp + b"\0" + body)
    write("knet", "ftp-550", b"\1" + ftp.split(b"213")[0] + b"550 no such file\r\n\0")


if __name__ == "__main__":
    main()
