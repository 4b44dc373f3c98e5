// The discovery pacer on a clock of our own (no sleeping): a rate the caller fixed never
// moves; the default one grows while nothing is lost and halves on loss, once per burst
// of losses, between its bounds, starting fast until the first loss. Faults it catches: one fixed rate whatever the path does,
// a collapse to the floor from one burst of losses, a given --rate exceeded.
#include <gtest/gtest.h>

#include "discover/search.h"

namespace kivo::discover {
namespace {

using std::chrono::milliseconds;

// Sends taken in `span` starting at `t`, as fast as the pacer allows.
int sends_in(Pacer &p, TimePoint t, milliseconds span) {
  int n = 0;
  for (TimePoint now = t; now < t + span; now += std::chrono::microseconds(10))
    while (p.take_send(now)) ++n;
  return n;
}

TEST(DiscoverPacer, FixedRateStaysFixedAndAdaptiveMovesBetweenBounds) {
  const TimePoint t0 = TimePoint{} + std::chrono::hours(1);
  struct Case {
    const char *what;
    bool fixed;
    int losses_at_ms[4];  // -1: none
    double rate_after_1s_min, rate_after_1s_max;
  };
  const Case cases[] = {
      {"a given rate never moves, even on loss", true, {100, 500, -1, -1}, 10000, 10000},
      {"no loss: grows to the ceiling", false, {-1, -1, -1, -1}, 50000, 50000},
      // Losses at 900 ms and again 50 ms later count once: 50,000 halves to 25,000 (and
      // has grown by a quarter once more at 1 s).
      {"one burst of losses halves once", false, {900, 950, -1, -1}, 25000, 31250},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Pacer p = c.fixed ? Pacer(10000, 1) : Pacer(10000, 1000, 50000, 1);
    for (int ms = 0; ms <= 1000; ms += 10) {
      const TimePoint now = t0 + milliseconds(ms);
      (void)p.take_send(now);
      for (int at : c.losses_at_ms)
        if (at == ms) p.note_loss(now);
    }
    EXPECT_GE(p.rate(), c.rate_after_1s_min);
    EXPECT_LE(p.rate(), c.rate_after_1s_max);
  }
  // Until the first loss it doubles each tenth of a second (at the ceiling in 0.3 s, where
  // growing by a quarter took a second of a sweep that lasts two); after a loss it grows by
  // a quarter only.
  {
    Pacer fresh(10000, 1000, 50000, 1);
    Pacer cut(10000, 1000, 50000, 1);
    for (int ms = 0; ms <= 300; ms += 10) {
      const TimePoint now = t0 + milliseconds(ms);
      (void)fresh.take_send(now);
      (void)cut.take_send(now);
      if (ms == 100) cut.note_loss(now);  // 20,000 halves to 10,000
    }
    EXPECT_EQ(fresh.rate(), 50000);
    EXPECT_NEAR(cut.rate(), 10000 * 1.25 * 1.25, 1);
  }
  // Never below the floor, however many losses.
  Pacer p(10000, 1000, 50000, 1);
  for (int i = 0; i < 50; ++i) p.note_loss(t0 + milliseconds(250 * i));
  EXPECT_EQ(p.rate(), 1000);
  // The fixed rate is what goes out: after the first burst (a tenth of a second's), 10,000
  // a second is about 1,000 in 100 ms.
  Pacer fixed(10000, 1);
  EXPECT_NEAR(sends_in(fixed, t0, milliseconds(1)), 1000 + 10, 2);
  const int n = sends_in(fixed, t0 + milliseconds(1), milliseconds(100));
  EXPECT_GE(n, 990);
  EXPECT_LE(n, 1010);
}

}  // namespace
}  // namespace kivo::discover
