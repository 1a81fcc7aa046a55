"""readme_block.py README SECTION LANGUAGE [N]: prints the N-th (from 1) fenced block of LANGUAGE
under the heading SECTION of README, so that the examples the README shows are the ones tests run."""
import re
import sys


def block(text, section, language, n):
    m = re.search(r"^#+ " + re.escape(section) + r"\n(.*?)(?=^#+ |\Z)", text, re.M | re.S)
    if not m:
        sys.exit(f"no section {section!r}")
    blocks = re.findall(r"^```" + re.escape(language) + r"\n(.*?)^```\n", m.group(1), re.M | re.S)
    if len(blocks) < n:
        sys.exit(f"section {section!r} has {len(blocks)} {language} blocks, not {n}")
    return blocks[n - 1]


if __name__ == "__main__":
    readme, section, language = sys.argv[1:4]
    n = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    with open(readme, encoding="utf-8") as f:
        sys.stdout.write(block(f.read(), section, language, n))
