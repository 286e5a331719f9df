"""The pipeline's own vocabulary in Python: atoms column names and their rules, the documents
column handed to the engine, shredding and unshredding batches through one handle, and the
checks of rebuilt documents.

Nothing here touches storage: it works on record batches and the ``shredder_ext`` engine only,
so every other layer builds on it and it imports none of them.
"""
