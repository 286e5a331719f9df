"""Partitioned jobs: inputs cut into partitions, executors that run them (this process, local
workers, a Dask cluster), the work of one partition or part on a worker and its typed result,
and the drivers that stage, follow and commit a shred or unshred job.

Workers hand the driver dataclasses, never bare dicts. Jobs build on ``dataset``, ``io`` and
``core``; only the command line sits above them.
"""
