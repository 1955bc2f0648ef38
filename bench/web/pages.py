#!/usr/bin/python3
"""Page weight (bytes transferred on a cold load, every request counted) and time to first
contentful paint of the shortening page and the console in headless Chromium, against a real
nolvex-shortd. Median of --runs loads, each with an empty cache; then the bytes of a warm reload,
where every asset is kept and the page is revalidated with its ETag.

    /usr/bin/python3 bench/web/pages.py --shortd build/service/nolvex-shortd"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'tests', 'service', 'web', 'browser'))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--shortd', required=True)
    parser.add_argument('--runs', type=int, default=7)
    args = parser.parse_args()
    service = harness.Shortd(args.shortd)
    service.start()
    driver = harness.start_browser()
    try:
        print(f'{"page":8} {"cold bytes":>10} {"requests":>8} {"first paint ms":>14} {"warm bytes":>10}')
        for path in ('/', '/admin'):
            weights, paints = [], []
            for _ in range(args.runs):
                weight, paint = harness.cold_load(driver, service.origin + path)
                weights.append(weight)
                paints.append(paint)
            cold_requests = driver.execute_script('return performance.getEntriesByType("resource").length') + 1
            driver.refresh()
            harness.wait(driver, lambda: driver.execute_script('return document.readyState') == 'complete')
            warm = harness.requests_seen(driver)
            print(f'{path:8} {int(statistics.median(weights)):>10} {cold_requests:>8} '
                  f'{statistics.median(paints):>14.1f} {sum(size or 0 for _, size in warm):>10}')
    finally:
        driver.quit()
        service.stop()


if __name__ == '__main__':
    main()
