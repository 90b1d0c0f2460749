# A writer and the package's errors across real processes: fork, pickle.

import os
import pickle
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context

import pytest

import corvane_audit as ca
from conftest import FORKED, E, check_log, in_forked_child, raised_in_thread


def test_a_forked_child_cannot_use_the_writer_and_writes_nothing(log_dir, key, tmp_path):
    writer = ca.Writer.open(log_dir, key)
    writer.append({"actor": "parent", "event": "before"})
    writer.flush()
    before = sorted((p.name, p.read_bytes()) for p in (tmp_path / "log").iterdir())
    seen = in_forked_child(lambda: writer.append(E), writer.flush, writer.recovery_action, writer.close)
    assert seen == [repr(ca.IoFailure(FORKED.format(os.getpid())))] * 4
    assert sorted((p.name, p.read_bytes()) for p in (tmp_path / "log").iterdir()) == before
    writer.append({"actor": "parent", "event": "after"})
    writer.close()
    assert [r["event"] for r in check_log(log_dir, key)] == ["before", "after"]


def test_a_long_lived_child_does_not_keep_the_log_locked(log_dir, key):
    writer = ca.Writer.open(log_dir, key)
    ready_r, ready_w = os.pipe()
    gate_r, gate_w = os.pipe()
    pid = os.fork()
    if pid == 0:  # a worker that never touches the writer and outlives the parent's close
        os.close(gate_w)
        os.write(ready_w, b"r")
        os.read(gate_r, 1)
        os._exit(0)
    os.close(gate_r)
    os.close(ready_w)
    try:
        assert os.read(ready_r, 1) == b"r"
        os.close(ready_r)
        with pytest.raises(ca.IoFailure, match="locked by another writer"):
            ca.Writer.open(log_dir, key)  # the parent's lock held through the child's start
        writer.close()
        with ca.Writer.open(log_dir, key) as again:
            assert again.recovery_action() == "Resumed"
            again.append({"actor": "parent", "event": "reopened"})
    finally:
        os.close(gate_w)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert [r["event"] for r in check_log(log_dir, key)] == ["reopened"]


def test_another_thread_meets_the_exported_wrong_thread_error(log_dir, key):
    with ca.Writer.open(log_dir, key) as writer:
        error = raised_in_thread(lambda: writer.append({"actor": "a", "event": "e"}))
    assert type(error) is ca.WrongThreadError and not isinstance(error, Exception)


EXCEPTIONS = [getattr(ca, name) for name in ca.__all__ if name.endswith(("Error", "Failure", "Failed"))]


@pytest.mark.parametrize("cls", EXCEPTIONS, ids=lambda c: c.__name__)
def test_every_exception_pickles_under_its_own_name(cls):
    exc = cls("message — with text")
    exc.add_note("a note")
    back = pickle.loads(pickle.dumps(exc))
    assert (type(back), back.args, back.__notes__) == (cls, exc.args, ["a note"])


def test_errors_come_back_from_a_process_pool(tmp_path):
    # A fresh interpreter, so the class is found by import, not inherited.
    with ProcessPoolExecutor(1, mp_context=get_context("spawn")) as pool:
        missing = pool.submit(ca.load_checkpoint, str(tmp_path / "missing.json")).exception(timeout=120)
        unreadable = pool.submit(ca.Reader.open, str(tmp_path / "nowhere")).exception(timeout=120)
    assert type(missing) is ca.ArgumentError and "missing.json: No such file" in str(missing)
    assert type(unreadable) is ca.IoFailure
