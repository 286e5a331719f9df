"""Datasets on an S3-compatible object store: moto's server on 127.0.0.1, started and stopped
here, reached through the AWS variables every process reads (AWS_ENDPOINT_URL among them);
never a real endpoint."""

from __future__ import annotations

import json
import os

import pyarrow.fs as pafs
import pytest
from moto.server import ThreadedMotoServer

from jobs_helpers import child_env, documents, rebuilt, run


@pytest.fixture
def s3(tmp_path):
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    env = child_env()
    env.update(AWS_ACCESS_KEY_ID="testing", AWS_SECRET_ACCESS_KEY="testing",
               AWS_ENDPOINT_URL=f"http://{host}:{port}", AWS_DEFAULT_REGION="us-east-1",
               AWS_EC2_METADATA_DISABLED="true")
    env.pop("AWS_PROFILE", None)
    fs = pafs.S3FileSystem(access_key="testing", secret_key="testing", region="us-east-1",
                           endpoint_override=f"{host}:{port}", scheme="http",
                           allow_bucket_creation=True)
    fs.create_dir("lake")
    fs.delete_dir_contents("lake")  # moto keeps its buckets per process, not per server
    try:
        yield fs, env, f"endpoint_override={host}:{port}&scheme=http"
    finally:
        server.stop()


def cli(env: dict, *args: object, ok: bool = True):
    import subprocess
    import sys
    result = subprocess.run([sys.executable, "-m", "shredder", *map(str, args)],
                            capture_output=True, env=env, timeout=120)
    if ok:
        assert result.returncode == 0, result.stderr.decode()
    return result


@pytest.mark.parametrize("endpoint", ["environment", "uri"])
def test_a_round_trip_through_s3_matches_the_local_one(tmp_path, s3, endpoint):
    """The endpoint in the URI used to reach only the driver: workers resolved the URI again
    without its options and went looking for the bucket's region on AWS."""
    fs, env, options = s3
    query = ""
    if endpoint == "uri":
        env.pop("AWS_ENDPOINT_URL")
        query = "?" + options
    docs = documents(500)
    text = "".join(json.dumps(d) + "\n" for d in docs).encode()
    with fs.open_output_stream("lake/in/events.jsonl") as stream:
        stream.write(text)
    (tmp_path / "events.jsonl").write_bytes(text)
    small = ["--partition-size", "4000", "--batch-size", "25", "-q"]
    cli(env, "shred", f"s3://lake/in/events.jsonl{query}", "-o", f"s3://lake/atoms{query}",
        "--jobs", 2, *small)
    run("shred", tmp_path / "events.jsonl", "-o", tmp_path / "atoms", "--jobs", 1, *small)

    listed = sorted(info.base_name for info in fs.get_file_info(
        pafs.FileSelector("lake/atoms")) if info.type == pafs.FileType.File)
    local = sorted(p.name for p in (tmp_path / "atoms").iterdir())
    assert listed == local
    for name in local:
        remote = fs.open_input_file(f"lake/atoms/{name}").read()
        if name == "_shredder.json":
            remote = remote.replace(b"s3://lake/in/events.jsonl",
                                    str(tmp_path / "events.jsonl").encode())
        assert remote == (tmp_path / "atoms" / name).read_bytes(), name

    cli(env, "unshred", f"s3://lake/atoms{query}", "-o", f"s3://lake/out/events.jsonl{query}",
        "--jobs", 2, "--verify", "-q")
    (tmp_path / "back.jsonl").write_bytes(fs.open_input_file("lake/out/events.jsonl").read())
    assert [d["id"] for d in rebuilt(tmp_path / "back.jsonl")] == [d["id"] for d in docs]
    inspect = cli(env, "inspect", f"s3://lake/atoms{query}").stdout.decode()
    assert "500 documents" in inspect
    leftovers = [info.path for info in fs.get_file_info(pafs.FileSelector("lake", recursive=True))
                 if ".tmp-" in info.path or "_partitions" in info.path]
    assert leftovers == []


def test_an_unreachable_bucket_is_one_clear_line(s3):
    _, env, _ = s3
    result = cli(env, "shred", "s3://no-such-bucket/x.jsonl", "-o", "s3://lake/atoms",
                 ok=False)
    stderr = result.stderr.decode()
    assert result.returncode == 1 and stderr.startswith("shredder: error: s3://no-such-bucket")
    assert "Traceback" not in stderr and len(stderr.strip().splitlines()) == 1
