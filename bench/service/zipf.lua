-- wrk script: follows the links scale.sh loads, drawn by popularity. LINKS is how many there are;
-- link i (0-based) has the code of i in the code alphabet, least significant letter first, eight
-- letters. The rank r of each request is drawn from the continuous Zipf law of exponent 1 over
-- [1, LINKS] (r = LINKS^u, u uniform), and ranks are spread over the links by a fixed stride, so
-- that the popular ones are not all the newest. Every request carries a desktop browser's user agent
-- (USER_AGENT), so that it counts as a person's visit.
local alphabet = "23456789abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ"
local links = tonumber(os.getenv("LINKS"))
local stride = 7919
local logLinks = math.log(links)
local threads = 0

wrk.headers["User-Agent"] = os.getenv("USER_AGENT")

local function code(i)
   local letters = {}
   for k = 1, 8 do
      local d = i % 56
      letters[k] = alphabet:sub(d + 1, d + 1)
      i = (i - d) / 56
   end
   return table.concat(letters)
end

function setup(thread)
   threads = threads + 1
   thread:set("seed", threads)
end

function init()
   math.randomseed(os.time() * 1000 + (seed or 0))
end

request = function()
   local rank = math.floor(math.exp(math.random() * logLinks))
   return wrk.format("GET", "/" .. code(((rank - 1) * stride) % links))
end
