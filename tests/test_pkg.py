"""Package download against a real loopback server: checks, hostile archives, clean failure."""

from __future__ import annotations

import contextlib
import gzip
import hashlib
import io
import json
import os
import pickle
import tarfile
import tempfile
import tracemalloc
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from loopback_server import Reply, ScriptedServer
from lumora.backtest import _pkg
from lumora.backtest._pkg import (
    PACKAGE_DESCRIPTOR_PATH,
    download_benchmark_package,
    flatten_single_subdir,
)
from lumora.backtest._store import BinaryPreparedDataStoreBase
from lumora.exceptions import KestrelError, NetworkError

try:
    import fcntl
except ImportError:  # pragma: no cover
    fcntl = None  # type: ignore[assignment]

ARCHIVE_PATH = "/files/package.tar.gz"


def _store_files() -> dict[str, bytes]:
    """The files of a small real store."""
    with tempfile.TemporaryDirectory() as folder:
        dates = pd.Index(["20240102", "20240103"], dtype=str)
        close = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=dates, columns=["000001", "600000"])
        bench = {"000300": pd.Series([0.1, 0.2], index=dates)}
        store = BinaryPreparedDataStoreBase(folder, {"close_price": "float64"}, 1, "float64")
        store.write_payload({"data": {"close_price": close, "benchmark_dict": bench}})
        return {path.name: path.read_bytes() for path in Path(folder).iterdir()}


STORE_FILES = _store_files()
SEGMENT = next(name for name in STORE_FILES if name.startswith("close_price"))


def make_tar(
    entries: list[tuple], *, mode: str = "w:gz", format: int = tarfile.GNU_FORMAT
) -> bytes:
    """entries: (kind, name[, data or link target]) with kind file/dir/symlink/hardlink/chr/fifo."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode=mode, format=format) as tar:
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
                "sparse": tarfile.GNUTYPE_SPARSE,
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


def test_a_data_directory_named_as_long_as_the_file_system_allows_is_downloaded_into(
    server, tmp_path
) -> None:
    """Its staging folder beside it used to be named after it and could not be made."""
    target = tmp_path / ("数据" * 42 + "abc")  # 255 bytes
    serve(server, make_tar(store_entries()))
    download_benchmark_package(server.client(), target)
    assert {path.name for path in target.iterdir()} == set(STORE_FILES)
    assert [path.name for path in tmp_path.iterdir()] == [target.name]


def test_staging_left_by_a_killed_run_is_removed(server, data_dir) -> None:
    """A staging folder nobody holds is removed by the next download, however young;
    one whose owner still holds its lock is left alone."""
    parent = data_dir.parent
    folders = {name: parent / f".enviroment_data.incoming-{name}" for name in ("killed", "held")}
    for path in folders.values():
        path.mkdir()
        (path / "package.tar").write_bytes(b"partial")
    held = os.open(folders["held"], os.O_RDONLY)
    try:
        if fcntl is not None:
            fcntl.flock(held, fcntl.LOCK_EX)
        serve(server, make_tar(store_entries()))
        download_benchmark_package(server.client(), data_dir)
    finally:
        os.close(held)
    assert [name for name, path in folders.items() if path.exists()] == ["held"]


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


def raw_header(name: bytes, size: int, kind: bytes) -> bytes:
    """One POSIX ustar header block, written field by field."""
    block = bytearray(512)
    block[0 : len(name)] = name
    block[100:108] = b"0000644\x00"
    block[124:136] = b"%011o\x00" % size
    block[136:148] = b"%011o\x00" % 1_700_000_000
    block[156:157] = kind
    block[257:265] = b"ustar\x0000"
    block[148:156] = b" " * 8
    block[148:156] = b"%06o\x00 " % sum(block)
    return bytes(block)


def gzip_of(*pieces: tuple[bytes, int]) -> bytes:
    """A gzip stream of each piece repeated so many times: every piece is one gzip member,
    compressed once, so hundreds of megabytes cost a few hundred kilobytes and no time."""
    return b"".join(gzip.compress(data, compresslevel=9) * times for data, times in pieces)


def without_end(archive: bytes) -> bytes:
    """A plain tar without the blocks that end it, to be continued."""
    end = len(archive.rstrip(b"\0"))
    return archive[: end + -end % 512]


def store_tar_without_end() -> bytes:
    return without_end(make_tar(store_entries(), mode="w", format=tarfile.PAX_FORMAT))


def pax_record(keyword: bytes, length_of_value: int) -> tuple[bytes, int]:
    """The start of a pax record ``<length> <keyword>=`` whose value is this long."""
    body = len(keyword) + length_of_value + 3  # space, "=", newline
    length = body + len(str(body))
    length += len(str(length)) - len(str(body))
    return b"%d %s=" % (length, keyword), length


MIB = 1 << 20


def header_bomb(kind: str) -> bytes:
    """A package whose store is followed by a header record of tens or hundreds of MB that
    names one more small file: a pax path or a GNU long name."""
    if kind == "pax header of 48 MB":
        start, length = pax_record(b"path", 48 * MIB)
        header, end = raw_header(b"PaxHeaders/x", length, tarfile.XHDTYPE), b"\n"
    else:  # a GNU long name of 320 MB
        start, length = b"", 320 * MIB + 1
        header, end = raw_header(b"././@LongLink", length, tarfile.GNUTYPE_LONGNAME), b"\0"
    filler = length - len(start) - len(end)
    member = raw_header(b"enviroment_data/x", 1, tarfile.REGTYPE) + b"x".ljust(512, b"\0")
    return gzip_of(
        (store_tar_without_end() + header + start, 1),
        (b"a" * MIB, filler // MIB),
        (b"a" * (filler % MIB) + end + bytes(-length % 512) + member + bytes(1024), 1),
    )


@pytest.mark.parametrize("kind", ["pax header of 48 MB", "GNU long name of 320 MB"])
def test_a_huge_header_record_is_refused_before_it_is_read(server, data_dir, kind) -> None:
    """Python's tar reader took such records whole into memory: 1.5 GB for a 1.5 MB package,
    and a raw OSError for a name too long to create. They are refused from their header,
    with memory to spare."""
    archive = header_bomb(kind)
    assert len(archive) < MIB
    serve(server, archive)
    before = snapshot(data_dir.parent.parent)
    tracemalloc.start()
    try:
        with pytest.raises(KestrelError, match=r"回测基准数据包含有过大的扩展头"):
            download_benchmark_package(server.client(), data_dir)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 * MIB
    assert snapshot(data_dir.parent.parent) == before


@pytest.mark.parametrize(
    ("where", "name", "format"),
    [
        ("header field", "enviroment_data/stray\x00/../../x", tarfile.GNU_FORMAT),
        ("GNU long name", "enviroment_data/" + "s" * 120 + "\x00/../../x", tarfile.GNU_FORMAT),
        ("pax path", "enviroment_data/" + "s" * 120 + "\x00/../../x", tarfile.PAX_FORMAT),
    ],
)
def test_a_name_holding_a_nul_is_refused(server, data_dir, where, name, format) -> None:
    """Python's tar reader cuts a name at its first NUL, so such a member used to land as
    another file ('enviroment_data/stray') than the one it names."""
    serve(server, make_tar(store_entries() + [("file", name, b"x")], format=format))
    before = snapshot(data_dir.parent.parent)
    with pytest.raises(KestrelError, match="空字符"):
        download_benchmark_package(server.client(), data_dir)
    assert snapshot(data_dir.parent.parent) == before


@pytest.mark.parametrize(
    ("case", "pattern"),
    [
        ("truncated", "大小不符"),
        ("oversized", "大小不符"),
        ("checksum", "校验失败"),
        ("corrupt", "已损坏"),
        ("not a tar", "已损坏"),
        ("hostile metadata", "不允许的对象"),
        ("damaged segment", f"close_price 文件 {SEGMENT}"),
        ("no metadata", "缺少元信息文件"),
        ("bomb", "超出限制"),
        ("many members", "超出限制"),
        ("endless tail", "超出限制"),
        ("sparse member", "稀疏"),
        ("refused by the caller", "refused"),
    ],
)
def test_bad_download_is_refused_and_leaves_nothing(
    server, data_dir, monkeypatch, case, pattern
) -> None:
    files = dict(STORE_FILES)
    extra: list[tuple] = []
    if case == "hostile metadata":
        files["metadata.pkl"] = pickle.dumps({"datasets": {}, "x": os.system}, protocol=4)
    elif case == "damaged segment":
        files[SEGMENT] = files[SEGMENT][:-8]
    elif case == "no metadata":
        del files["metadata.pkl"]
    elif case == "bomb":  # 4 MiB of zeros in a few kB, with a 1 MiB floor for the limit
        monkeypatch.setattr(_pkg, "_MIN_UNPACK_LIMIT", 1 << 20)
        extra = [("file", "enviroment_data/zeros.bin", bytes(4 << 20))]
    elif case == "many members":
        monkeypatch.setattr(_pkg, "_MAX_MEMBERS", 20)
        extra = [("file", f"enviroment_data/f{i}", b"x") for i in range(20)]
    elif case == "sparse member":
        extra = [("sparse", "enviroment_data/hole.bin")]
    archive = make_tar(
        [("dir", "enviroment_data")]
        + [("file", f"enviroment_data/{name}", data) for name, data in files.items()]
        + extra
    )
    if case == "endless tail":  # 256 MiB of zeros after the end of the archive, in 256 kB
        monkeypatch.setattr(_pkg, "_MIN_UNPACK_LIMIT", 1 << 20)
        archive += gzip_of((bytes(1 << 20), 256))
    if case == "truncated":  # the server's copy lost its tail; the descriptor has the full size
        serve(server, archive[:-100], size=len(archive), sha256=hashlib.sha256(archive).hexdigest())
    elif case == "oversized":
        serve(server, archive + b"\0" * 10, size=len(archive))
    elif case == "checksum":
        serve(server, archive, sha256="0" * 64)
    elif case == "corrupt":  # damaged in the middle before the checksum was taken
        middle = len(archive) // 2
        serve(server, archive[:middle] + bytes(64) + archive[middle + 64 :])
    elif case == "not a tar":
        serve(server, gzip.compress(b"just some text, not a tar archive"))
    else:
        serve(server, archive)
    before = snapshot(data_dir.parent.parent)

    def refuse(folder: Path) -> None:
        assert (folder / "metadata.pkl").exists() and not (data_dir / "metadata.pkl").exists()
        raise KestrelError("refused")

    with pytest.raises(KestrelError, match=pattern):
        validate = refuse if case == "refused by the caller" else None
        download_benchmark_package(server.client(), data_dir, validate=validate)
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


# ---------------------------------------------------------------- the reader against tarfile

COMPONENT = st.text(
    st.characters(codec="utf-8", exclude_characters="/\\\x00", exclude_categories=["Cs"]),
    min_size=1,
    max_size=60,
).filter(lambda part: part not in (".", ".."))
SIZES = st.sampled_from([0, 1, 511, 512, 513, 4000])


def tree_of(root: Path) -> dict[str, bytes | None]:
    return {
        str(path.relative_to(root)): None if path.is_dir() else path.read_bytes()
        for path in sorted(root.rglob("*"))
    }


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    paths=st.lists(st.lists(COMPONENT, min_size=1, max_size=3), min_size=1, max_size=6),
    sizes=st.lists(SIZES, min_size=6, max_size=6),
    format=st.sampled_from([tarfile.GNU_FORMAT, tarfile.PAX_FORMAT, tarfile.USTAR_FORMAT]),
    mode=st.sampled_from(["w", "w:gz", "w:bz2", "w:xz"]),
)
def test_any_archive_of_files_and_folders_unpacks_as_tarfile_unpacks_it(
    tmp_path_factory, paths, sizes, format, mode
) -> None:
    """Long and non-ASCII names (GNU long names, pax paths, ustar prefixes), sizes at block
    boundaries, empty folders and every compression, against the standard library."""
    names = ["/".join(parts) for parts in paths]
    assume(not any(other.startswith(name + "/") for name in names for other in names))
    assume(len(set(names)) == len(names))
    entries: list[tuple] = [("dir", "top")]
    for index, (name, size) in enumerate(zip(names, sizes)):
        data = bytes(range(256)) * (size // 256) + bytes(size % 256)
        entries.append(("dir", f"top/{name}") if index == 5 else ("file", f"top/{name}", data))
    try:
        archive = make_tar(entries, mode=mode, format=format)
    except ValueError:  # a name ustar cannot hold
        assume(False)
    folder = tmp_path_factory.mktemp("unpack")
    (folder / "package.tar").write_bytes(archive)
    (folder / "ours").mkdir()
    _pkg._unpack(folder / "package.tar", folder / "ours", 1 << 30)
    with tarfile.open(folder / "package.tar") as tar:
        tar.extractall(folder / "model", filter="data")
    assert tree_of(folder / "ours") == tree_of(folder / "model")


def mutated_headers(archive: bytes, edits: list[tuple[int, int, bytes]]) -> bytes:
    """``archive`` with bytes written into some of its 512-byte blocks, each block's
    checksum written afresh so that the edit is read rather than refused as damage."""
    data = bytearray(archive)
    blocks = len(data) // 512
    for block, offset, value in edits:
        start = (block % blocks) * 512
        offset %= 512
        data[start + offset : start + offset + len(value[: 512 - offset])] = value[: 512 - offset]
        data[start + 148 : start + 156] = b" " * 8
        data[start + 148 : start + 156] = b"%06o\x00 " % sum(data[start : start + 512])
    return bytes(data)


FIELD_VALUES = st.sampled_from(
    [
        b"\x00",
        b"/",
        b"..",
        b"../",
        b"x\x00y",
        b"L",
        b"K",
        b"x",
        b"g",
        b"1",
        b"2",
        b"3",
        b"5",
        b"S",
        b"77777777777",
        b"\x80\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00",
        b"\xff" * 12,
        b"9" * 12,
        b"30 path=../../escaped\n",
        b"11 size=9\n",
    ]
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    edits=st.lists(
        st.tuples(
            st.integers(0, 60), st.sampled_from([0, 99, 124, 156, 157, 345, 511]), FIELD_VALUES
        ),
        min_size=1,
        max_size=4,
    )
)
def test_a_tampered_archive_is_unpacked_inside_the_folder_or_refused(
    tmp_path_factory, edits
) -> None:
    """Header fields rewritten (names, sizes, types, pax records) with valid checksums:
    either a KestrelError or files inside the folder, never another error or an escape."""
    long_name = "top/" + "n" * 150
    pax = [
        ("dir", "top"),
        ("file", "top/a", b"a" * 700),
        ("file", long_name, b"b"),
        ("file", "top/é", b""),
    ]
    gnu = [("file", "top/" + "g" * 120, b"d")]  # a GNU long name after the pax records
    archive = without_end(make_tar(pax, mode="w", format=tarfile.PAX_FORMAT)) + make_tar(
        gnu, mode="w"
    )
    folder = tmp_path_factory.mktemp("tampered")
    (folder / "package.tar").write_bytes(mutated_headers(archive, edits))
    destination = folder / "inside" / "unpacked"
    destination.mkdir(parents=True)
    with contextlib.suppress(KestrelError):
        _pkg._unpack(folder / "package.tar", destination, 1 << 20)
    assert sorted(p.name for p in folder.iterdir()) == ["inside", "package.tar"]
    assert [p.name for p in (folder / "inside").iterdir()] == ["unpacked"]


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
