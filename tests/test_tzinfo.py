"""TzInfo, the fixed-offset time zone of offset date-times."""

import copy
import datetime as dt
import gc
import pickle
import weakref

import pytest

from vexil import _vexil

TzInfo = type(_vexil.deserialize("a = 1979-05-27T07:32:00Z")["a"].tzinfo)


def test_the_type():
    assert TzInfo.__name__ == "TzInfo"
    assert TzInfo.__qualname__ == "TzInfo"
    assert TzInfo.__module__ == "vexil._vexil"
    assert TzInfo.__bases__ == (dt.tzinfo,)
    assert TzInfo.__text_signature__ == "(minutes)"
    assert not hasattr(_vexil, "TzInfo")
    for name, signature in [("seconds", "($self)"), ("utcoffset", "($self, dt)"),
                            ("tzname", "($self, _dt)"), ("dst", "($self, _dt)"), ("fromutc", "($self, dt)")]:
        method = getattr(TzInfo, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
    # One type object for the process, whether reached by reading or by calling.
    assert type(_vexil.deserialize("b = 2000-01-01T00:00:00+01:00")["b"].tzinfo) is TzInfo
    assert type(TzInfo(5)) is TzInfo


@pytest.mark.parametrize(
    "minutes, name",
    [
        (0, "UTC"),
        (330, "UTC+05:30"),
        (-90, "UTC-01:30"),
        (-1, "UTC-00:01"),
        (60, "UTC+01:00"),
        (1439, "UTC+23:59"),
        (6000, "UTC+100:00"),
        (32767, "UTC+546:07"),
        (-32768, "UTC-546:08"),
    ],
)
def test_zone_name_and_offset(minutes, name):
    tz = TzInfo(minutes)
    assert str(tz) == name
    assert tz.tzname(None) == name
    assert tz.tzname(object()) == name
    assert repr(tz) == f"TzInfo({name})"
    assert tz.seconds() == minutes * 60
    assert type(tz.seconds()) is int
    offset = tz.utcoffset(dt.datetime(2000, 1, 1))
    assert type(offset) is dt.timedelta
    assert offset == dt.timedelta(seconds=minutes * 60)
    assert tz.dst(None) is None
    assert tz.dst(dt.datetime(2000, 1, 1)) is None


def test_negative_offset_is_normalised_and_long_offsets_allowed():
    offset = TzInfo(-90).utcoffset(dt.datetime(2000, 1, 1))
    assert (offset.days, offset.seconds, offset.microseconds) == (-1, 81000, 0)
    assert TzInfo(2000).utcoffset(dt.datetime(2000, 1, 1)).total_seconds() == 120000


def test_works_as_a_tzinfo():
    tz = TzInfo(90)
    value = dt.datetime(2000, 1, 1, 12, 0, tzinfo=tz)
    assert value.isoformat() == "2000-01-01T12:00:00+01:30"
    assert value.tzname() == "UTC+01:30"
    assert value.astimezone(dt.timezone.utc) == dt.datetime(2000, 1, 1, 10, 30, tzinfo=dt.timezone.utc)
    assert value.dst() is None


@pytest.mark.parametrize("minutes", [0, 90, -420, 1439])
def test_conversions_into_a_tzinfo(minutes):
    # astimezone() and now() go through fromutc(); the one inherited from
    # datetime.tzinfo refuses a zone whose dst() is None.
    tz = TzInfo(minutes)
    noon = dt.datetime(2000, 1, 1, 12, tzinfo=dt.timezone.utc)
    local = noon.astimezone(tz)
    assert local == noon and local.tzinfo is tz
    assert local.replace(tzinfo=None) == dt.datetime(2000, 1, 1, 12) + dt.timedelta(minutes=minutes)
    assert dt.datetime.fromtimestamp(0, tz) == dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
    assert type(tz.fromutc(Moment(2000, 1, 1, tzinfo=tz))) is Moment


@pytest.mark.parametrize(
    "argument, exception, message",
    [
        (dt.datetime(2000, 1, 1), ValueError, "fromutc: dt.tzinfo is not self"),
        (dt.datetime(2000, 1, 1, tzinfo=TzInfo(60)), ValueError, "fromutc: dt.tzinfo is not self"),
        (dt.date(2000, 1, 1), TypeError, "'date' object is not an instance of 'datetime'"),
    ],
)
def test_fromutc_refuses_other_arguments(argument, exception, message):
    with pytest.raises(exception) as info:
        TzInfo(60).fromutc(argument)
    assert str(info.value) == message
    if exception is TypeError:
        assert info.value.__notes__ == ["while processing 'dt'"]


class Index:
    def __index__(self):
        return 42


class Moment(dt.datetime):
    pass


@pytest.mark.parametrize(
    "args, kwargs, minutes",
    [((60,), {}, 60), ((), {"minutes": 60}, 60), ((True,), {}, 1), ((Index(),), {}, 42), ((-1,), {}, -1)],
)
def test_constructor_accepts_integers(args, kwargs, minutes):
    assert TzInfo(*args, **kwargs).seconds() == minutes * 60


@pytest.mark.parametrize(
    "value, exception, message",
    [
        (32768, OverflowError, "number too large to fit in target type"),
        (-32769, OverflowError, "number too small to fit in target type"),
        (2**70, OverflowError, None),
        (-(2**70), OverflowError, None),
        (1.5, TypeError, None),
        ("60", TypeError, None),
        (None, TypeError, None),
    ],
)
def test_constructor_refuses_with_note(value, exception, message):
    with pytest.raises(exception) as info:
        TzInfo(value)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'minutes'"]


@pytest.mark.parametrize(
    "argument, message",
    [
        (None, "'None' is not an instance of 'datetime'"),
        (dt.date(2000, 1, 1), "'date' object is not an instance of 'datetime'"),
        (dt.time(1, 2), "'time' object is not an instance of 'datetime'"),
        ("2000-01-01", "'str' object is not an instance of 'datetime'"),
    ],
)
def test_utcoffset_needs_a_datetime(argument, message):
    with pytest.raises(TypeError) as info:
        TzInfo(0).utcoffset(argument)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'dt'"]


def test_utcoffset_accepts_subclasses_and_keywords():
    assert TzInfo(5).utcoffset(Moment(2000, 1, 1)) == dt.timedelta(minutes=5)
    assert TzInfo(5).utcoffset(dt=dt.datetime(2000, 1, 1)) == dt.timedelta(minutes=5)
    assert TzInfo(5).tzname(_dt=None) == "UTC+00:05"
    assert TzInfo(5).dst(_dt=1) is None


def test_aware_time_meets_the_type_check():
    # A time asks its tzinfo with None, which utcoffset refuses.
    with pytest.raises(TypeError, match="'None' is not an instance of 'datetime'"):
        dt.time(1, 2, tzinfo=TzInfo(60)).utcoffset()


@pytest.mark.parametrize(
    "call",
    [
        lambda: TzInfo(),
        lambda: TzInfo(1, 2),
        lambda: TzInfo(hours=1),
        lambda: TzInfo(1, minutes=1),
        lambda: TzInfo(0).utcoffset(),
        lambda: TzInfo(0).utcoffset(dt.datetime(2000, 1, 1), None),
        lambda: TzInfo(0).utcoffset(when=None),
        lambda: TzInfo(0).tzname(),
        lambda: TzInfo(0).tzname(None, None),
        lambda: TzInfo(0).dst(),
        lambda: TzInfo(0).dst(dt=None),
        lambda: TzInfo(0).seconds(1),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_argument_error_texts():
    with pytest.raises(TypeError, match=r"^TzInfo.__new__\(\) missing 1 required positional argument: 'minutes'$"):
        TzInfo()
    with pytest.raises(TypeError, match=r"got multiple values for argument 'minutes'$"):
        TzInfo(1, minutes=1)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'x'$"):
        TzInfo(0).dst(x=1)


def test_closed_class():
    with pytest.raises(TypeError):
        type("Sub", (TzInfo,), {})
    tz = TzInfo(0)
    with pytest.raises(AttributeError):
        tz.name = "x"
    with pytest.raises(TypeError):
        weakref.ref(tz)
    assert not hasattr(tz, "__dict__")
    assert not gc.is_tracked(tz)


def test_documents_with_offset_datetimes_can_be_deep_copied():
    document = _vexil.deserialize("a = [1979-05-27T07:32:00-01:30]\nb = {c = 1979-05-27T07:32:00Z}")
    clone = copy.deepcopy(document)
    assert clone == document
    for original, copied in [(document["a"][0], clone["a"][0]), (document["b"]["c"], clone["b"]["c"])]:
        assert type(copied.tzinfo) is TzInfo
        assert copied.tzinfo.seconds() == original.tzinfo.seconds()
        assert copied.utcoffset() == original.utcoffset()
    assert copy.copy(TzInfo(-90)).seconds() == -5400


def test_pickles_through_the_package():
    # The class is not a module attribute, so pickle cannot name it; the
    # package registers a reducer that rebuilds it through vexil._pickle.
    data = pickle.dumps(TzInfo(60))
    assert b"vexil._pickle" in data
    back = pickle.loads(data)
    assert type(back) is TzInfo and back.seconds() == 3600
