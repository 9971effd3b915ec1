"""A tour of hexpickle: objects in, hex text out, and back again."""

from hexpickle.text import hex


def shorten(text: str, width: int = 60) -> str:
    return text if len(text) <= width else f"{text[: width - 18]}...{text[-12:]} ({len(text)} chars)"


class Planet:
    """A class defined right here: dill pickles it along with its instance."""

    def __init__(self, name: str, moons: int) -> None:
        self.name, self.moons = name, moons

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Planet) and (self.name, self.moons) == (other.name, other.moons)

    def __repr__(self) -> str:
        return f"Planet({self.name!r}, {self.moons})"


def main() -> None:
    settings = {"theme": "dark", "sizes": [8, 13, 21], "ratio": 1.618}
    square = lambda x: x * x  # noqa: E731 - a lambda is the point here
    earth = Planet("Earth", 1)

    print("encode: any object dill can pickle becomes lower-case hex text")
    texts = {}
    for label, value in [("dict", settings), ("lambda", square), ("Planet", earth)]:
        texts[label] = hex.encode(value)
        print(f"  {label:7} -> {shorten(texts[label])}")

    print("\nvalid: checks the layout (even length, hex digits only) without decoding")
    for candidate in [texts["dict"], "DEADbeef", "abc", "0x12", ""]:
        print(f"  valid({shorten(candidate, 30)!r}) = {hex.valid(candidate)}")

    print("\ndecode: the text turns back into the object")
    settings_back = hex.decode(texts["dict"])
    print(f"  dict   == original: {settings_back == settings}  {settings_back}")
    square_back = hex.decode(texts["lambda"])
    print(f"  lambda still works: square_back(12) = {square_back(12)}")
    earth_back = hex.decode(texts["Planet"])
    print(f"  Planet == original: {earth_back == earth}  {earth_back!r}")

    print("\nmalformed text is refused before anything is unpickled")
    for bad in ["abc", "zz"]:
        try:
            hex.decode(bad)
        except hex.PickleErrors as error:
            print(f"  decode({bad!r}) -> {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
