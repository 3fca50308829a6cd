#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_receive_path into fuzz/corpus/fuzz_receive_path/.

An input is read by FuzzedDataProvider: numbers from its end, chunk bytes from its
front. Each seed is written here as steps (command, pause, chunk) and laid out the
way the target reads it back.
"""

import pathlib

NONE, SET_ID, SET_ELN, READ_ELN = 0, 1, 2, 3
AUTO_CLEAR, SHOW_EVENTS, NEAR_FULL = 1, 2, 4


def encode(options, steps):
    front, back = bytearray(), [options]
    for command, pause_ms, piece, copies, late in steps:
        back.append(command)
        if pause_ms <= 8:
            back += [1, pause_ms]  # a short pause
        else:
            back += [0, pause_ms >> 8, pause_ms & 0xFF]
        front += piece.replace(b"\\", b"\\\\") + b"\\A"  # the text ends at a lone backslash
        assert copies == 1 or (copies % 2 == 0 and copies <= 128)
        back.append(0 if copies == 1 else 191 + copies // 2)
        if late:
            back += [0, (late - 1) >> 8, (late - 1) & 0xFF]  # the event names `late` bytes
        else:
            back += [1, 0, 0]
    return bytes(front) + bytes(reversed(back))


def reply(length, eln=b""):
    body = bytearray(b"\x11" * length)
    body[10 : 10 + len(eln)] = eln
    return bytes(body)


SEEDS = {
    # Set_ID answered with 13 bytes in one piece: SetID_OK.
    "set_id_reply": encode(0, [(SET_ID, 200, reply(13), 1, 0)]),
    # ELN set answered with 15 bytes in three pieces, 2 ms apart.
    "set_eln_pieces": encode(0, [(SET_ELN, 30, reply(5), 1, 0), (NONE, 2, reply(5), 1, 0),
                                 (NONE, 2, reply(5), 1, 0)]),
    # ELN read answered with 20 bytes, the text split between two pieces.
    "read_eln_split": encode(SHOW_EVENTS, [(READ_ELN, 100, reply(12, b"AB"), 1, 0),
                                           (NONE, 3, b"C1234\x00\x11\x11", 1, 0)]),
    # No answer: Error at 3000 ms; then a late 14-byte answer that is no answer.
    "no_reply_then_late": encode(0, [(SET_ID, 0, b"", 1, 0), (NONE, 3500, reply(14), 1, 0)]),
    # A flood: 64 KiB and 6 KiB of line starts (0x24, 0x42) queued before the first read,
    # more than one read takes; then more line starts; the log near its automatic clear.
    "flood_near_full": encode(AUTO_CLEAR | NEAR_FULL, [(SET_ID, 1, bytes(range(256)) * 2, 128, 0),
                                                       (NONE, 0, b"$B" * 25, 128, 0),
                                                       (NONE, 5, b"\x24" * 100, 2, 0)]),
    # Events that name fewer or more bytes than are queued.
    "late_events": encode(0, [(READ_ELN, 10, reply(7), 1, 3), (NONE, 1, reply(6), 1, 9000),
                              (NONE, 4, reply(7), 1, 1)]),
}

if __name__ == "__main__":
    folder = pathlib.Path(__file__).resolve().parent / "corpus" / "fuzz_receive_path"
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (folder / name).write_bytes(data)
    print(f"{len(SEEDS)} seeds in {folder}")
