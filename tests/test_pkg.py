"""Package download against a real loopback server: checks, hostile archives, clean failure."""

from __future__ import annotations

import gzip
import hashlib
import io
import json
import os
import tarfile
import time
from pathlib import Path

import pytest

from loopback_server import Reply, ScriptedServer
from lumora.backtest._pkg import (
    PACKAGE_DESCRIPTOR_PATH,
    download_benchmark_package,
    flatten_single_subdir,
)
from lumora.exceptions import KestrelError, NetworkError

ARCHIVE_PATH = "/files/package.tar.gz"
STORE_FILES = {"metadata.pkl": b"meta", "close_price.npy": b"\x93NUMPY" + b"0" * 5000}


def make_tar(entries: list[tuple]) -> bytes:
    """entries: (kind, name[, data or link target]) with kind file/dir/symlink/hardlink/chr/fifo."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for kind, name, *extra in entries:
            info = tarfile.TarInfo(name)
            data = extra[0] if kind == "file" else b""
            info.type = {
                "file": tarfile.REGTYPE,
                "dir": tarfile.DIRTYPE,
                "symlink": tarfile.SYMTYPE,
                "hardlink": tarfile.LNKTYPE,
                "chr": tarfile.CHRTYPE,
                "fifo": tarfile.FIFOTYPE,
            }[kind]
            if kind in ("symlink", "hardlink"):
                info.linkname = extra[0]
            info.mode = 0o755 if kind == "dir" else 0o644
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data) if data else None)
    return buffer.getvalue()


def store_entries(top: str | None = "enviroment_data") -> list[tuple]:
    prefix = f"{top}/" if top else ""
    entries: list[tuple] = [("dir", top)] if top else []
    return entries + [("file", prefix + name, data) for name, data in STORE_FILES.items()]


def serve(server: ScriptedServer, archive: bytes, **descriptor_overrides) -> None:
    descriptor = {
        "url": ARCHIVE_PATH,
        "size": len(archive),
        "sha256": hashlib.sha256(archive).hexdigest(),
        **descriptor_overrides,
    }
    server.route(PACKAGE_DESCRIPTOR_PATH, Reply(body=json.dumps(descriptor).encode()))
    server.route(ARCHIVE_PATH, Reply(body=archive))


def snapshot(root: Path) -> dict[str, bytes]:
    """Every file below ``root`` (the data directory's parent), staging leftovers included."""
    return {
        str(path.relative_to(root)): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() or path.is_symlink()
    }


@pytest.fixture
def server():
    with ScriptedServer() as scripted:
        yield scripted


@pytest.fixture
def data_dir(tmp_path) -> Path:
    """A data directory holding earlier data that a failed download must not touch."""
    directory = tmp_path / "home" / "enviroment_data"
    directory.mkdir(parents=True)
    (directory / "old.npy").write_bytes(b"previous")
    return directory


@pytest.mark.parametrize("top", ["enviroment_data", None])
@pytest.mark.parametrize("existing", ["absent", "empty", "with files"])
def test_package_lands_directly_in_the_data_directory(server, tmp_path, top, existing) -> None:
    target = tmp_path / "home" / "enviroment_data"
    if existing != "absent":
        target.mkdir(parents=True)
    if existing == "with files":
        (target / "notes.txt").write_text("keep")
        (target / "metadata.pkl").write_bytes(b"stale")
    serve(server, make_tar(store_entries(top)))
    download_benchmark_package(server.client(), target)
    assert not flatten_single_subdir(target)
    files = {path.name: path.read_bytes() for path in target.iterdir()}
    expected = dict(STORE_FILES, **({"notes.txt": b"keep"} if existing == "with files" else {}))
    assert files == expected
    assert sorted(p.name for p in target.parent.iterdir()) == ["enviroment_data"]


def test_stale_staging_left_by_a_killed_run_is_removed(server, data_dir) -> None:
    stale = data_dir.parent / ".enviroment_data.incoming-old"
    young = data_dir.parent / ".enviroment_data.incoming-running"
    for path in (stale, young):
        path.mkdir()
        (path / "package.tar").write_bytes(b"partial")
    os.utime(stale, (time.time() - 3 * 86400,) * 2)
    serve(server, make_tar(store_entries()))
    download_benchmark_package(server.client(), data_dir)
    assert not stale.exists() and young.exists()


HOSTILE = {
    "parent traversal": [("file", "../escaped", b"x")],
    "nested traversal": [("dir", "pkg"), ("file", "pkg/../../escaped", b"x")],
    "absolute path": [("file", "/tmp/lumora-escaped", b"x")],
    "drive letter": [("file", "C:/escaped", b"x")],
    "backslash traversal": [("file", "pkg\\..\\..\\escaped", b"x")],
    "symlink": [("dir", "pkg"), ("symlink", "pkg/link", "/etc/passwd")],
    "relative symlink": [("symlink", "link", "metadata.pkl")],
    "hard link": [("file", "a", b"x"), ("hardlink", "b", "a")],
    "character device": [("chr", "dev")],
    "fifo": [("fifo", "pipe")],
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_member_refuses_the_whole_archive(server, data_dir, name) -> None:
    serve(server, make_tar(store_entries() + HOSTILE[name]))
    before = snapshot(data_dir.parent.parent)
    with pytest.raises(KestrelError, match="不允许|越出"):  # our own check, not tarfile's
        download_benchmark_package(server.client(), data_dir)
    assert snapshot(data_dir.parent.parent) == before
    assert not Path("/tmp/lumora-escaped").exists()


@pytest.mark.parametrize(
    ("case", "pattern"),
    [
        ("truncated", "大小不符"),
        ("oversized", "大小不符"),
        ("checksum", "校验失败"),
        ("corrupt", "已损坏"),
        ("not a tar", "已损坏"),
    ],
)
def test_bad_download_is_refused_and_leaves_nothing(server, data_dir, case, pattern) -> None:
    archive = make_tar(store_entries())
    if case == "truncated":  # the server's copy lost its tail; the descriptor has the full size
        serve(server, archive[:-100], size=len(archive), sha256=hashlib.sha256(archive).hexdigest())
    elif case == "oversized":
        serve(server, archive + b"\0" * 10, size=len(archive))
    elif case == "checksum":
        serve(server, archive, sha256="0" * 64)
    elif case == "corrupt":  # damaged in the middle before the checksum was taken
        middle = len(archive) // 2
        serve(server, archive[:middle] + bytes(64) + archive[middle + 64 :])
    else:
        serve(server, gzip.compress(b"just some text, not a tar archive"))
    before = snapshot(data_dir.parent.parent)
    with pytest.raises(KestrelError, match=pattern):
        download_benchmark_package(server.client(), data_dir)
    assert snapshot(data_dir.parent.parent) == before


@pytest.mark.parametrize(
    "overrides",
    [
        {"url": "file:///etc/passwd"},
        {"url": "ftp://127.0.0.1/x"},
        {"url": "//127.0.0.1/x"},
        {"url": "relative/path"},
        {"url": None},
        {"size": True},
        {"size": -1},
        {"sha256": "abc"},
    ],
)
def test_invalid_descriptor_is_refused_before_any_download(server, data_dir, overrides) -> None:
    serve(server, make_tar(store_entries()), **overrides)
    with pytest.raises(KestrelError):
        download_benchmark_package(server.client(), data_dir)
    assert not server.hits_of(ARCHIVE_PATH)
    assert sorted(p.name for p in data_dir.iterdir()) == ["old.npy"]


@pytest.mark.parametrize("failure", ["server gone mid-transfer", "refused signature"])
def test_network_failures_pass_as_network_errors(server, data_dir, failure) -> None:
    archive = make_tar(store_entries())
    serve(server, archive)
    secret = "wrong" if failure == "refused signature" else None
    if failure == "server gone mid-transfer":
        server.route(ARCHIVE_PATH, Reply(body=archive, cut_after=len(archive) // 3))
    client = server.client(secret) if secret else server.client(max_retries=1)
    before = snapshot(data_dir.parent.parent)
    with pytest.raises(NetworkError):
        download_benchmark_package(client, data_dir)
    assert snapshot(data_dir.parent.parent) == before


def test_missing_client_says_how_to_initialise(tmp_path) -> None:
    with pytest.raises(KestrelError, match=r"lumora\.init"):
        download_benchmark_package(None, tmp_path / "data")


def _layout(root: Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


@pytest.mark.parametrize(
    ("build", "flattened", "after"),
    [
        (["d/", "d/a", "d/sub/", "d/sub/b"], True, ["a", "sub", "sub/b"]),
        (["d/", "d/d/", "d/d/x"], True, ["d", "d/x"]),  # entry named like its parent
        (["d/", "d/.hidden"], True, [".hidden"]),
        (["d/"], True, []),
        (["d/", "d/a", "f"], False, ["d", "d/a", "f"]),
        (["d/", "e/"], False, ["d", "e"]),
        (["f"], False, ["f"]),
        ([], False, []),
    ],
)
def test_flatten_single_subdir(tmp_path, build, flattened, after) -> None:
    root = tmp_path / "data"
    root.mkdir()
    for item in build:
        if item.endswith("/"):
            (root / item).mkdir()
        else:
            (root / item).write_text(item)
    assert flatten_single_subdir(root) is flattened
    assert _layout(root) == after


def test_flatten_leaves_a_lone_symlink_and_a_missing_directory(tmp_path) -> None:
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "a").write_text("a")
    root = tmp_path / "data"
    root.mkdir()
    (root / "link").symlink_to(tmp_path / "outside")
    assert flatten_single_subdir(root) is False
    assert _layout(root) == ["link"] and (tmp_path / "outside" / "a").exists()
    assert flatten_single_subdir(tmp_path / "absent") is False
