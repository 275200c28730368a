"""The exception of the tarn package."""


class Error(Exception):
    """A failed Tarn operation.

    ``status`` is the library's status code (for example 5: could not read file,
    7: invalid file content, 8: no parameters for the calibration identifier),
    ``description`` its text and ``context`` what failed, on which file.
    """

    def __init__(self, status, description, context=""):
        super().__init__(status, description, context)
        self.status = status
        self.description = description
        self.context = context

    def __str__(self):
        where = f"{self.context}: " if self.context else ""
        return f"{where}{self.description} (status {self.status})"
