-- wrk script: every request creates a new link. REQUESTS names a Lua file returning a list of
-- signed request targets (nolvex-shortd-benchtool requests); each is sent once, in order.
local targets = dofile(os.getenv("REQUESTS"))
local next_index = 1

request = function()
   local target = targets[next_index]
   next_index = next_index + 1
   if next_index > #targets then
      next_index = 1
   end
   return wrk.format("GET", target)
end
