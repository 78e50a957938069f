"""A small block-Huffman encoder for crafted test members (-lh4- to -lhx-):
fixed, complete code lengths (two characters of 8 bits, 508 of 9; position
classes of k and k + 1 bits), one block per 65535 codes. Good for members
that must hold exactly the matches a test asks for, not for compression."""


class Bits:
    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, n):
        self.value = (self.value << n) | (value & ((1 << n) - 1))
        self.count += n

    def bytes(self):
        pad = -self.count % 8
        return (self.value << pad).to_bytes((self.count + pad) // 8, "big")


def canonical(lengths):
    codes, code = [0] * len(lengths), 0
    for length in range(1, 17):
        for symbol, l in enumerate(lengths):
            if l == length:
                codes[symbol] = code
                code += 1
        code <<= 1
    return codes


def length_field(bits, length):
    if length < 7:
        bits.put(length, 3)
    else:
        bits.put(7, 3)
        for _ in range(length - 7):
            bits.put(1, 1)
        bits.put(0, 1)


def encode(tokens, classes, count_bits):
    """tokens: ("L", byte) or ("M", length, distance); classes: the count of
    position classes, sent in count_bits bits."""
    char_len = [8, 8] + [9] * 508
    k = next(k for k in range(1, 6) if 0 <= 2 ** (k + 1) - classes <= classes)
    short = 2 ** (k + 1) - classes
    pos_len = [k] * short + [k + 1] * (classes - short)
    char_code, pos_code = canonical(char_len), canonical(pos_len)
    bits = Bits()
    for start in range(0, len(tokens), 65535):
        block = tokens[start:start + 65535]
        bits.put(len(block), 16)
        # The code-length code: 12 lengths, symbols 10 and 11 (lengths 8 and
        # 9) of 1 bit each.
        bits.put(12, 5)
        for length in (0, 0, 0):
            length_field(bits, length)
        bits.put(3, 2)  # then three zeros (symbols 3 to 5)
        for length in (0, 0, 0, 0, 1, 1):
            length_field(bits, length)
        bits.put(510, 9)
        for length in char_len:
            bits.put(0 if length == 8 else 1, 1)
        bits.put(classes, count_bits)
        for length in pos_len:
            length_field(bits, length)
        for t in block:
            symbol = t[1] if t[0] == "L" else t[1] - 3 + 256
            bits.put(char_code[symbol], char_len[symbol])
            if t[0] == "M":
                value = t[2] - 1
                c = value.bit_length()
                bits.put(pos_code[c], pos_len[c])
                if c > 1:
                    bits.put(value - (1 << (c - 1)), c - 1)
    return bits.bytes()
