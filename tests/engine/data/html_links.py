"""Prints the links of the HTML read from stdin that Python's html.parser finds
in a/href, img/src and script/src, one per line as hex of their UTF-8."""
import sys
from html.parser import HTMLParser

WANTED = {"a": "href", "img": "src", "script": "src"}


class Links(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links = set()

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if WANTED.get(tag) == name and value is not None:
                self.links.add(value)

    handle_startendtag = handle_starttag


parser = Links()
parser.feed(sys.stdin.buffer.read().decode("utf-8"))
parser.close()
for link in sorted(parser.links):
    print(link.encode("utf-8").hex() or "-")
