"""What the documentation's examples run with: the doctest setup imports this."""

import os

from qern_native import QERN


def run_example(text, path=None, error=None, stores=None, load=True):
    """Runs one QERN example: parses `text`, or writes it to `path` and loads that file.

    Fails (AssertionError) when the outcome differs from the one the page shows: an error
    where none was expected, another error text than `error`, or other pairs than `stores`.
    Returns the document, or None when it failed as expected or was only written.
    """
    if path is not None:
        folder = os.path.dirname(path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        if not load:
            return None
    try:
        doc = QERN.load(path) if path is not None else QERN.parse(text)
    except RuntimeError as e:
        if error is None:
            raise AssertionError(f"the example fails with: {e}") from None
        if str(e) != error:
            raise AssertionError(f"the example fails with\n    {e}\nand not with\n    {error}"
                                 ) from None
        return None
    if error is not None:
        raise AssertionError(f"the example does not fail; the page says it fails with {error}")
    if stores is not None and doc.to_dict() != stores:
        raise AssertionError(f"the example stores\n    {dict(sorted(doc.to_dict().items()))}"
                             f"\nand not\n    {stores}")
    return doc
