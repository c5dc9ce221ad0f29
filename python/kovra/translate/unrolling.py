"""How many instructions a circuit comes to once its loops are unrolled,
counted before anything is built so that a loop too long is refused whole."""

# For loops unroll to at most this many instructions in all: a loop over a
# range of a billion would otherwise fill the graph for hours.
MAX_UNROLLED = 10**6


def unrolled_size(block, options, enough):
    """Instructions `block` comes to once unrolled: loops times their
    iterations (a while loop ``options.while_limit`` times), both arms of a
    branch, definitions expanded. Counting stops past `enough`: a loop of a
    billion iterations is not walked to be refused."""
    known = {}

    def size(block, enough):
        total = 0
        for instruction in block.data:
            op = instruction.operation
            if op.name in options.skipped:
                continue
            if op.name == "for_loop":
                total += len(op.params[0]) * max(1, size(op.params[2], enough // max(1, len(op.params[0]))))
            elif op.name == "while_loop":
                total += options.while_limit * max(1, size(op.blocks[0], enough // max(1, options.while_limit)))
            elif op.name in ("if_else", "switch_case"):
                total += sum(size(b, enough) for b in op.blocks if b is not None)
            elif options.table_name(op) is None and options.expands(op):
                # A count cut short under a smaller `enough` is only a
                # lower bound: it serves where it already passes `enough`.
                key = (op.name, tuple(repr(p) for p in op.params))
                count, complete = known.get(key, (0, False))
                if not complete and count <= enough:
                    count = size(op.definition, enough)
                    known[key] = count, count <= enough
                total += count
            else:
                total += 1
            if total > enough:
                break
        return total

    return size(block, enough)
