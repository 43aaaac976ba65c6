"""async functions under asyncio: gather, tasks, async generators,
async with, exceptions."""
import asyncio


async def add(a, b, delay=0):
    await asyncio.sleep(delay)
    return a + b


async def ticker(n):
    for i in range(n):
        await asyncio.sleep(0)
        yield i


class Resource:
    def __init__(self, name):
        self.name = name
        self.log = []

    async def __aenter__(self):
        self.log.append("enter")
        return self

    async def __aexit__(self, *exc):
        self.log.append("exit")
        return False


async def failing():
    await asyncio.sleep(0)
    raise KeyError("async-missing")


class Service:
    def __init__(self):
        self.calls = 0

    async def fetch(self, key):
        self.calls += 1
        await asyncio.sleep(0)
        return {"key": key, "n": self.calls}


async def main():
    results = await asyncio.gather(add(1, 2), add(3, 4, 0.001), add(5, 6))
    print(results)
    items = [i async for i in ticker(4)]
    print(items)
    async with Resource("r") as r:
        print("inside", r.name)
    print(r.log)
    try:
        await failing()
    except KeyError as e:
        print("caught", repr(e))
    svc = Service()
    task = asyncio.create_task(svc.fetch("a"))
    print(await task, await svc.fetch("b"))
    print(asyncio.iscoroutinefunction(add), asyncio.iscoroutinefunction(main))
    done = await asyncio.wait_for(add(10, 20), timeout=5)
    print(done)


asyncio.run(main())
