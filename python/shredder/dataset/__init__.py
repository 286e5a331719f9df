"""An atoms dataset as a whole: which files of a folder belong to it, its manifest, its parts in
order, one schema over all of them, the statistics of its paths, and its tables as DuckDB views.

It reads and lists through ``io`` and names columns through ``core``; running jobs is left to
``jobs``.
"""
