"""Where results come from: the digests that tie them to the exact files they were made of."""

import hashlib

CHUNK = 1 << 20  # bytes read at a time


def file_sha256(path):
    """The SHA-256 of a file's bytes, as 64 lowercase hexadecimal digits.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    str
    """
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while chunk := file.read(CHUNK):
            digest.update(chunk)
    return digest.hexdigest()
