"""Files and storage: local paths and URIs behind one face, the one writer that replaces a file
whole (temporary name, then rename), input and output file kinds, atoms part files written and
read, and JSON Lines records.

It knows single files, not what a dataset is made of; it builds on ``core`` only.
"""
