#!/usr/bin/env python3
"""Writes the lentora(1) manual page from the README's section on the command.

    make_manpage.py README.md VERSION OUTPUT

The section runs from the heading "## The `lentora` command" to the next
second-level heading. Paragraphs stay paragraphs, "- " items become tagged
paragraphs (the command form as the tag), `code` becomes bold and Markdown
links keep their text.
"""
import re
import sys

HEADING = "## The `lentora` command"


def section(lines):
    try:
        start = lines.index(HEADING) + 1
    except ValueError:
        sys.exit("make_manpage: no section '%s' in the README" % HEADING)
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("## ")), len(lines))
    return lines[start:end]


def escape(text):
    text = text.replace("\\", "\\e")
    text = re.sub(r"\[([^\]]+)\]\([^)]+\)", r"\1", text)
    text = re.sub(r"`([^`]+)`", r"\\fB\1\\fR", text)
    text = text.replace("-", "\\-")
    return text


EXAMPLE = "    "


def blocks(lines):
    """Paragraphs and list items, each joined into one line of text; examples
    (lines indented by four spaces, outside a list item) stay lines, joined
    by newlines and marked by their indent."""
    block = []
    example = []
    for line in lines:
        if line.startswith(EXAMPLE) and not block:
            example.append(line)
            continue
        if example:
            yield "\n".join(example)
            example = []
        if not line.strip():
            if block:
                yield " ".join(block)
            block = []
        elif line.startswith("- "):
            if block:
                yield " ".join(block)
            block = [line]
        else:
            block.append(line.strip())
    if example:
        yield "\n".join(example)
    if block:
        yield " ".join(block)


def troff_line(line):
    # A line starting with a dot or quote would be read as a request.
    return "\\&" + line if line[:1] in (".", "'") else line


def render(body, version):
    out = [
        '.TH LENTORA 1 "" "Lentora %s" "User Commands"' % version,
        ".nh",
        ".ad l",
        ".SH NAME",
        "lentora \\- camera calibration workbench",
        ".SH SYNOPSIS",
        ".B lentora",
        ".RI [ WORKSPACE.txt ]",
        ".br",
        ".B lentora",
        ".I command",
        ".RI [ arguments ]",
        ".br",
        ".B lentora \\-\\-version",
        ".SH DESCRIPTION",
    ]
    for block in blocks(body):
        if block.startswith(EXAMPLE):
            out += [".PP", ".nf", ".RS 4"]
            out += [troff_line(escape(line.strip())) for line in block.split("\n")]
            out += [".RE", ".fi"]
        elif block.startswith("- "):
            item = block[2:]
            match = re.match(r"(`[^`]+`(?:, `[^`]+`)*(?: and `[^`]+`)?):\s*(.*)", item)
            tag, text = (match.group(1), match.group(2)) if match else ("", item)
            out += [".TP", troff_line(escape(tag)), troff_line(escape(text))]
        else:
            out += [".PP", troff_line(escape(block))]
    out += [".SH SEE ALSO", "The README and docs/ of the Lentora sources."]
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: make_manpage.py README.md VERSION OUTPUT")
    readme, version, output = sys.argv[1:]
    with open(readme, encoding="utf-8") as f:
        lines = f.read().splitlines()
    with open(output, "w", encoding="utf-8") as f:
        f.write(render(section(lines), version))


if __name__ == "__main__":
    main()
