"""The mutants of tools/mutation: which single-operator changes are drawn
from a file, the fixed ones looked for by their text, the equivalent ones
listed in mutation-equivalents.txt, and the draw spread over the files."""
import collections
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
EQUIVALENTS = os.path.join(HERE, 'mutation-equivalents.txt')

# Faults that once went unseen, looked for by their text wherever they now
# stand: each run tries them again (--no-fixed leaves them out).
FIXED = [
    ('dle-lone-dle', 'src/readers/family_a/dle_codec.cpp', 'if (i + 1 >= end ||', 'if (i + 1 > end ||'),
    ('a-reply-fills-buffer', 'src/readers/family_a/serial_reader_a.cpp',
     'kReplyHeaderA > uiReplySize', 'kReplyHeaderA >= uiReplySize'),
    ('b-late-rest-judged', 'src/readers/family_b/serial_reader_b.cpp',
     'if (got == 0 || m_pComm->bFrameLate())', 'if (got == 0)'),
    ('lock-wait-overshoots', 'src/platform/named_lock.cpp',
     'return left < kPollMs ? static_cast<uint32_t>(left) : kPollMs;', 'return (void)left, kPollMs;'),
    ('unknown-type-not-written', 'src/api/reader_registry.cpp',
     'eOpenPort() != OReaderComm::PortOpening::Failed', 'eOpenPort() == OReaderComm::PortOpening::Failed'),
    ('lock-limit-of-a-removed-file', 'src/api/idc_manager.cpp', 'w.bFileFound == bFound &&', 'w.bFileFound != bFound &&'),
    ('one-character-signed-track', 'src/readers/chip_common.cpp',
     'static_cast<int32_t>(uiLen) >= 1', 'static_cast<int32_t>(uiLen) > 1'),
    ('reopened-trace-keep-days', 'src/infra/trace_log.cpp', 'if (m_hTrace != 0) {', 'if (m_hTrace == 0) {'),
    ('config-key-replaced', 'src/platform/config_store.cpp',
     'WithValue(lines[i].text, value, valueText);\n            return true;',
     'WithValue(lines[i].text, value, valueText);\n            return false;'),
    ('config-value-found', 'src/platform/config_store.cpp', 'value = CleanValue(raw);\n    return 0;',
     'value = CleanValue(raw);\n    return 1;'),
]

SWAPS = [(' >= ', ' > '), (' > ', ' >= '), (' <= ', ' < '), (' < ', ' <= '),
         (' == ', ' != '), (' != ', ' == '), (' && ', ' || '), (' || ', ' && ')]
RETURNS = {'true': 'false', 'false': 'true', '0': '1', '1': '0', '-1': '0'}
# A statement worth dropping: a call or an assignment on a line of its own.
STATEMENT = re.compile(r'^\s*(\*?[\w:.\[\]>-]+(\(.*\)|\s*([-+|&^]?=|<<=|>>=)\s*.+|\+\+|--)|\+\+\w+|--\w+);\s*$')
NOT_STATEMENT = re.compile(r'^\s*(return|break|continue|case|default|goto|using|typedef|static|const|'
                           r'auto|struct|class|enum|namespace|throw)\b')


class Mutant:
    def __init__(self, path, line, col, old, new, what):
        self.path, self.line, self.col, self.old, self.new, self.what = path, line, col, old, new, what
        self.text = ''  # the original line, stripped

    def key(self):
        return f'{self.path}:{self.line}: {self.what}'


def code_part(text):
    """The line with string and character literals and // comments blanked."""
    out, quote, i = [], None, 0
    while i < len(text):
        c = text[i]
        if quote:
            if c == '\\':
                out.append('  ')
                i += 2
                continue
            out.append(' ' if c != quote else c)
            if c == quote:
                quote = None
        elif c in '"\'':
            quote = c
            out.append(c)
        elif text.startswith('//', i):
            break
        else:
            out.append(c)
        i += 1
    return ''.join(out).ljust(len(text))


def mutants_of(root, path):
    with open(os.path.join(root, path)) as f:
        lines = f.read().split('\n')
    found, in_comment = [], False
    # A line found more than once in the file is told apart by its rank: "return 0; @2".
    total, rank = collections.Counter(l.strip() for l in lines), collections.Counter()
    for n, text in enumerate(lines, 1):
        stripped = text.strip()
        rank[stripped] += 1
        label = stripped + (f' @{rank[stripped]}' if total[stripped] > 1 else '')
        if in_comment or stripped.startswith('/*'):
            in_comment = '*/' not in stripped
            continue
        if not stripped or stripped.startswith(('#', '//', 'static_assert')):
            continue
        code = code_part(text)
        here = []
        for old, new in SWAPS:
            for m in re.finditer(re.escape(old), code):
                here.append(Mutant(path, n, m.start(), old, new, f'{old.strip()} -> {new.strip()}'))
        for m in re.finditer(r'\breturn (true|false|-1|0|1);', code):
            here.append(Mutant(path, n, m.start(1), m.group(1), RETURNS[m.group(1)],
                               f'return {m.group(1)} -> {RETURNS[m.group(1)]}'))
        if STATEMENT.match(code) and not NOT_STATEMENT.match(code) and code.count('(') == code.count(')'):
            indent = len(text) - len(text.lstrip())
            here.append(Mutant(path, n, indent, text[indent:], '{}', 'statement dropped'))
        seen = collections.Counter()
        for m in sorted(here, key=lambda m: m.col):
            seen[m.what] += 1
            if seen[m.what] > 1:
                m.what += f' #{seen[m.what]}'
            m.text = label
        found += here
    return found


def fixed_mutants(root):
    found = []
    for name, path, old, new in FIXED:
        full = os.path.join(root, path)
        text = open(full).read() if os.path.exists(full) else ''
        at = text.find(old)
        line = text.count('\n', 0, at) + 1 if at >= 0 else 0
        col = at - (text.rfind('\n', 0, at) + 1) if at >= 0 else 0
        m = Mutant(path, line, col, old, new, f'fixed {name}')
        m.text = text.split('\n')[line - 1].strip() if line else ''
        found.append(m)
    return found


def apply(m, text):
    if m.what.startswith('fixed '):
        return text.replace(m.old, m.new, 1)
    lines = text.split('\n')
    line = lines[m.line - 1]
    if line[m.col:m.col + len(m.old)] != m.old:
        return text
    lines[m.line - 1] = line[:m.col] + m.new + line[m.col + len(m.old):]
    return '\n'.join(lines)


def equivalents():
    """(path, original line, change) -> reason, from mutation-equivalents.txt:
    `path | original line, stripped | change | why no behaviour tells them apart`."""
    found = {}
    if os.path.exists(EQUIVALENTS):
        for row in open(EQUIVALENTS):
            if row.strip() and not row.startswith('#'):
                path, text, what, why = (c.strip() for c in row.split(' | ', 3))
                found[(path, text, what)] = why
    return found


def sample(pool, count, rng):
    """Up to `count` mutants spread over the files, in the order drawn: one
    from each file in turn, each file's picked at random."""
    by_file = collections.OrderedDict()
    for m in pool:
        by_file.setdefault(m.path, []).append(m)
    for ms in by_file.values():
        rng.shuffle(ms)
    picked = []
    while len(picked) < count and any(by_file.values()):
        for ms in by_file.values():
            if ms and len(picked) < count:
                picked.append(ms.pop())
    return picked
