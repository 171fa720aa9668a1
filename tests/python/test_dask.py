"""Many workbooks on Dask: one partition per sheet (or per N rows), read on two worker processes
of a local cluster, the same frame as reading each sheet alone; a partition whose columns differ
fails naming its file and sheet."""

import pytest

import quillfen

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

from quillfen import dask as qdask  # noqa: E402


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    folder = tmp_path_factory.mktemp("books")
    for i in range(4):
        frame = pl.DataFrame({"id": list(range(i * 50, i * 50 + 50)), "score": [i / 3 + 0.5] * 50,
                              "name": ["n%d" % (j % 7) for j in range(50)], "gap": [None] * 49 + [i]})
        quillfen.write_frames({"Data": frame, "Other": pl.DataFrame({"word": ["x"]})}, folder / ("b%d.xlsx" % i))
    return folder


def _expected(books, **options):
    frames = []
    for i in range(4):
        with quillfen.load_workbook(books / ("b%d.xlsx" % i), read_only=True) as wb:
            frames.append(wb["Data"].to_pandas(**options))
    return pd.concat(frames, ignore_index=True)


def test_read_on_a_cluster_of_two_processes(books):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       silence_logs=40)
    try:
        with distributed.Client(cluster, timeout="120s") as client:
            frame = qdask.read_excel(str(books / "*.xlsx"), sheet="Data")
            assert frame.npartitions == 4
            got = frame.compute().reset_index(drop=True)
            assert len(client.scheduler_info()["workers"]) == 2
    finally:
        cluster.close()
    expected = _expected(books)
    assert list(got.columns) == ["id", "score", "name", "gap"]
    assert str(got["gap"].dtype) == "int64[pyarrow]"  # nulls in some partitions, none in others
    assert got["id"].tolist() == expected["id"].tolist() and got["gap"].count() == 4
    assert got["name"].tolist() == expected["name"].tolist() and got["score"].tolist() == expected["score"].tolist()


def test_partitions_by_rows_and_mismatched_columns(books):
    frame = qdask.read_excel([str(books / "b0.xlsx"), str(books / "b1.xlsx")], sheet=0, rows_per_partition=15)
    assert frame.npartitions == 8
    got = frame.compute(scheduler="sync")
    assert got["id"].tolist() == list(range(100))
    with pytest.raises(ValueError, match=r"b0\.xlsx, sheet 'Other': columns \['word'\]"):
        qdask.read_excel(str(books / "b0.xlsx")).compute(scheduler="sync")
    with pytest.raises(ValueError, match="column types"):
        qdask.read_excel(str(books / "b1.xlsx"), sheet="Data", columns=["name"],
                         meta=pd.DataFrame({"name": pd.Series([], dtype="int64")})).compute(scheduler="sync")
