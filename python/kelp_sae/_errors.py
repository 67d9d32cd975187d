"""The exceptions of kelp_sae; the compiled core raises these."""


class KelpSaeError(Exception):
    """Base of the library's errors (also a failure inside the library)."""


class ModelError(KelpSaeError):
    """An input problem the user can fix: ``title``, ``detail`` and an optional
    ``code``; ``argument`` names the method argument the detail refers to."""

    def __init__(self, title, detail, code=None, argument=None):
        super().__init__(f"{title}: {detail}")
        self.title = title
        self.detail = detail
        self.code = code
        self.argument = argument


class ArgumentError(KelpSaeError, ValueError):
    """An invalid argument value; ``function`` and ``argument`` name it."""

    def __init__(self, message, function=None, argument=None):
        super().__init__(message)
        self.function = function
        self.argument = argument


class ArgumentTypeError(KelpSaeError, TypeError):
    """An argument of the wrong type; ``function`` and ``argument`` name it."""

    def __init__(self, message, function=None, argument=None):
        super().__init__(message)
        self.function = function
        self.argument = argument


class ColumnNotFoundError(KelpSaeError, KeyError):
    """A column the table does not hold; ``column`` names it."""

    def __init__(self, message, column=None):
        super().__init__(message)
        self.column = column

    def __str__(self):
        return str(self.args[0])


class InvalidInputError(KelpSaeError, ValueError):
    """Invalid data, for example survey design columns with missing values."""
