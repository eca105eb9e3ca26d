"""Ranking rules on small hand-made libraries: keys, tempo, proven sequences, freshness, rut, requests."""
import datetime, unittest

from engine import ranking
from engine.feed import document
from engine.history import History, PastSet
from engine.keys import is_harmonic, parse_key
from engine.library import Library, Track
from engine.tempo import tempo_fits

TODAY = datetime.date(2025, 6, 1)


def path(name):
    return "/music/%s.wav" % name


def track(name, key="8A", bpm=124.0, cat=None):
    return Track(path=path(name), title=name, artist="Artist %s" % name, key=key, bpm=bpm, category=cat)


def past(days_ago, *names):
    return PastSet(date=TODAY - datetime.timedelta(days=days_ago), plays=tuple(path(n) for n in names))


def rank(tracks, sets=(), tonight=(), requests=(), missing=()):
    return ranking.rank(Library(tracks), History(past_sets=list(sets), tonight=[path(n) for n in tonight]),
                        [path(n) for n in requests], TODAY, lambda p: p not in [path(n) for n in missing])


def titles(picks):
    return [p.track.title for p in picks]


class RankingTest(unittest.TestCase):
    def test_keys_in_every_notation_harmonic_neighbours_and_tempo_fit(self):
        for case in ("8A=8A 12b=12B 1m=8A 1d=8B 6m=1A 12d=7B Am=8A C=8B F#m=11A Bbm=3A Db=3B E=12B Abm=1A B=1B "
                     "C♯m=12A G_minor=6A D_major=10B =None 13A=None 0B=None H=None 8C=None Xm=None 8Am=None").split():
            text, expected = case.replace("_", " ").split("=")
            self.assertEqual(str(parse_key(text)), expected, text)
        for case in "8A=8A 8A=9A 8A=7A 12A=1A 1B=12B 8A=8B Am=C Am=1d 12A!2A 12A!1B 8A!9B 8A!".split():
            a, b = case.replace("!", "=").split("=")
            self.assertEqual({is_harmonic(parse_key(a), parse_key(b)), is_harmonic(parse_key(b), parse_key(a))},
                             {"!" not in case}, case)
        for case in "100=106 100=94 100!106.5 100!93.5 128=64 70=140 100=53 100!53.5 100=212 100!213 0!124".split():
            now, bpm = case.replace("!", "=").split("=")
            self.assertEqual(tempo_fits(float(now), float(bpm)), "!" not in case, case)

    def test_next_holds_proven_then_fitting_requests_then_fit_then_freshness(self):
        sets = [past(40, "a", "b", "c"), past(30, "a", "b"), past(20, "x", "a", "c"), past(10, "b", "a", "b")]
        picks = rank([track(n) for n in "abcdx"], sets + [past(5, "b", "d", "a")], tonight=["d", "a"]).next
        self.assertEqual({p.track.title: p.proven for p in picks}, {"b": 3, "c": 1, "x": 0})
        tracks = [track("now", "8A", 124), track("proven_off_key", "3B", 100), track("proven_twice", "3B", 100),
                  track("fit_rested", "9A", 125), track("fit_new", "9A", 125), track("tempo_only", "2B", 124),
                  track("key_only", "8B", 90), track("filler", "2B", 100), track("request", "7A", 122),
                  track("gone", "8A", 124), track("gone_proven", "8A", 124)]
        sets = [past(300, "now", "proven_twice"), past(200, "now", "proven_twice"), past(100, "now", "proven_off_key"),
                past(50, "now", "gone_proven"), past(20, "fit_rested", "filler", "request")]
        result = rank(tracks, sets, tonight=["now"], requests=["request", "gone"], missing=["gone", "gone_proven"])
        self.assertEqual(titles(result.next), ["proven_twice", "proven_off_key", "request", "fit_new", "fit_rested",
                                               "tempo_only", "key_only"])
        self.assertEqual(titles(result.fresh), ["fit_new", "tempo_only"], "no missing file is ever offered")

    def test_requests_stay_listed_and_pass_every_moment(self):
        # Enough fitting tracks to push an unfitting request far below the list's length.
        tracks = [track("now", cat="peak")] + [track("fill%02d" % i, cat="peak") for i in range(ranking.NEXT_LIMIT + 5)]
        tracks += [track("req_fit", "9A", 125, "build"), track("req_off", "2B", 90, "warmup"), track("req_nocat", "3B"),
                   track("req_done", cat="peak")]
        result = rank(tracks, tonight=["req_done", "now"], requests=["req_fit", "req_off", "req_nocat", "req_done"])
        self.assertEqual(sorted(p.track.title for p in result.next if p.prep), ["req_fit", "req_nocat", "req_off"])
        self.assertEqual([p.track.title for p in result.next if p.fitnow], ["req_fit"])
        self.assertEqual(result.next[0].track.title, "req_fit", "a request that fits now leads unproven picks")
        self.assertEqual(result.cats, [("warmup", "Warm-up"), ("build", "Build"), ("peak", "Peak")])

    def test_freshness_bands_at_their_edges_and_the_fresh_list(self):
        tracks = [track(n) for n in ("now", "never", "d179", "d180", "in3of5", "in2of5")]
        tracks += [track("never_key", "9A", 123), track("long_tempo", "3B", 126), track("never_slow", "8A", 100)]
        sets = [past(179, "d179"), past(180, "d180"), past(200, "in2of5"), past(210, "in2of5"), past(400, "long_tempo"),
                past(40, "in3of5", "in2of5"), past(30, "in3of5"), past(20, "in3of5", "in2of5"), past(10), past(5)]
        result = rank(tracks, sets, tonight=["now"])
        self.assertEqual({p.track.title: (p.fresh, p.rest) for p in result.next if p.track.title[0] in "nid"},
                         {"never": ("never", None), "d179": ("rested", 179), "d180": ("rested_long", 180),
                          "in3of5": ("overplayed", 20), "in2of5": ("rested", 20), "never_key": ("never", None),
                          "never_slow": ("never", None)})
        self.assertEqual([(p.track.title, p.reason) for p in result.fresh], [
            ("never", "never played · in key"), ("never_key", "never played · in key"),
            ("d180", "rested 6 mo · in key"), ("long_tempo", "rested 1 y · tempo fits")])

    def test_rut_is_the_share_of_tonight_played_every_gig_and_bangers_the_most_played(self):
        tracks = [track(n) for n in ("s1", "s2", "new1", "old1", "b1")]
        sets = [past(30, "s1", "s2"), past(20, "s1", "s2", "old1"), past(10, "s1", "s2", "b1"), past(5, "old1")]
        for tonight, rut in ((["s1", "new1", "s2", "old1"], 0.5), (["new1", "old1"], 0.0), ([], 0.0)):
            self.assertEqual(rank(tracks, sets, tonight=tonight).rut, rut)
        self.assertEqual(document(rank(tracks, sets, tonight=["s1", "new1", "old1"]))["rut"], 0.333)
        bangers = rank(tracks, sets, tonight=["new1", "s1"]).bangers
        self.assertEqual([(p.track.title, p.proven) for p in bangers], [("s2", 3), ("old1", 2), ("b1", 1)])
        self.assertEqual(document(rank(tracks, sets)), {"ok": False, "played": 0, "rut": 0, "cats": []})


if __name__ == "__main__":
    unittest.main()
