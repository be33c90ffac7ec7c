"""README.txt for the download: the players' part of README.md (from its
"## For players" heading to the next heading of that level) as plain text,
wrapped at 78 columns, with Windows line ends; CHANGELOG.txt the same way
from CHANGELOG.md.

The Markdown is parsed by markdown-it (Debian's python3-markdown-it); this
file only lays the parsed blocks out as text: headings underlined, lists
with their marks, code blocks indented, and each table row as its first cell
followed by the other cells under their column names.
"""
import textwrap

from markdown_it import MarkdownIt

WIDTH = 78
KEEP_SPACE = "\x00"  # a space that the wrapping does not break at
START = "## For players"


def players_part(markdown):
    """The lines after START up to the next level-2 heading, without a
    closing horizontal rule."""
    lines = markdown.split("\n")
    if START not in lines:
        raise ValueError("README.md has no line %r" % START)
    begin = lines.index(START)
    end = next((i for i in range(begin + 1, len(lines)) if lines[i].startswith("## ")),
               len(lines))
    part = lines[begin + 1:end]
    while part and part[-1].strip() in ("", "---"):
        part.pop()
    return "\n".join(part) + "\n"


def inline_text(token):
    """The text of an inline token: code spans and emphasis as plain text,
    links as their text (and the address, when it leads outside)."""
    out = []
    href = None
    for child in token.children or []:
        if child.type in ("text", "html_inline"):
            out.append(child.content)
        elif child.type == "code_inline":
            # A command or a log line stays on one line.
            out.append(child.content.replace(" ", KEEP_SPACE))
        elif child.type in ("softbreak", "hardbreak"):
            out.append(" ")
        elif child.type == "link_open":
            href = child.attrs.get("href", "")
        elif child.type == "link_close":
            if href and not href.startswith("#"):
                out.append(" (%s)" % href)
            href = None
        elif child.type == "image":
            out.append(child.content)
    return "".join(out)


class Writer:
    def __init__(self):
        self.lines = []

    def blank(self):
        if self.lines and self.lines[-1] != "":
            self.lines.append("")

    def wrap(self, text, first, rest):
        lines = textwrap.wrap(text, WIDTH, initial_indent=first, subsequent_indent=rest,
                              break_long_words=False, break_on_hyphens=False) or [first]
        self.lines += [line.replace(KEEP_SPACE, " ") for line in lines]


def render(markdown, title):
    """Plain text lines of `markdown` under the heading `title`; its
    headings are underlined with "-", the title with "="."""
    tokens = MarkdownIt("commonmark").enable("table").parse(markdown)
    w = Writer()
    w.lines += [title, "=" * len(title)]
    lists = []  # per open list: [next number or None, tight]
    mark = None  # the list mark the next paragraph starts with
    i = 0
    while i < len(tokens):
        t = tokens[i]
        indent = "   " * len(lists)
        if t.type == "heading_open":
            text = inline_text(tokens[i + 1]).replace(KEEP_SPACE, " ")
            w.blank()
            w.lines += [text, "-" * len(text)]
            i += 3
            continue
        if t.type in ("bullet_list_open", "ordered_list_open"):
            start = int(t.attrs.get("start", 1)) if t.type == "ordered_list_open" else None
            lists.append([start, False])
            w.blank()
        elif t.type in ("bullet_list_close", "ordered_list_close"):
            lists.pop()
            w.blank()
        elif t.type == "list_item_open":
            number = lists[-1][0]
            mark = "-  " if number is None else "%d. " % number
            if number is not None:
                lists[-1][0] = number + 1
        elif t.type == "paragraph_open":
            text = inline_text(tokens[i + 1])
            if mark is not None:
                w.wrap(text, indent[:-3] + mark, indent)
                mark = None
            else:
                if not t.hidden:
                    w.blank()
                w.wrap(text, indent, indent)
            if not t.hidden:
                w.blank()
            i += 3
            continue
        elif t.type in ("fence", "code_block"):
            w.blank()
            w.lines += [(indent + "    " + line).rstrip() for line in
                        t.content.rstrip("\n").split("\n")]
            w.blank()
        elif t.type == "table_open":
            i = table(tokens, i, w, indent)
            continue
        i += 1
    while w.lines and w.lines[-1] == "":
        w.lines.pop()
    return w.lines


def table(tokens, i, w, indent):
    """Lays out the table that starts at tokens[i]; returns the index after it."""
    header, rows, row = None, [], None
    while tokens[i].type != "table_close":
        t = tokens[i]
        if t.type == "tr_open":
            row = []
        elif t.type == "inline":
            row.append(inline_text(t))
        elif t.type == "tr_close":
            if header is None:
                header = row
            else:
                rows.append(row)
        i += 1
    w.blank()
    for cells in rows:
        # The first cell (a log line, a file name) stays whole.
        w.lines.append(indent + cells[0].replace(KEEP_SPACE, " "))
        for name, cell in zip(header[1:], cells[1:]):
            w.wrap("%s: %s" % (name, cell), indent + "    ", indent + "        ")
        w.blank()
    return i + 1


def text_bytes(lines):
    """ASCII (or UTF-8) text with CR LF line ends."""
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def readme_text(markdown, version):
    """README.txt's bytes."""
    return text_bytes(render(players_part(markdown), "Quorvel Icons %s" % version))


def changelog_text(markdown):
    """CHANGELOG.txt's bytes: its "# " title as the text's title, each
    release's heading underlined."""
    title, _, rest = markdown.partition("\n")
    if not title.startswith("# "):
        raise ValueError("CHANGELOG.md does not start with a '# ' title")
    return text_bytes(render(rest, "Quorvel Icons: %s" % title[2:].strip()))
