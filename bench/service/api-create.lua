-- wrk script: every request creates a new link through the JSON API with the key in API_KEY.
-- Each wrk thread numbers its own addresses under a prefix of its own, so none repeats.
local counter = 0
local prefix = "https://bench.example/api/" .. os.time() .. "-" .. math.random(1, 1000000000) .. "/"
local headers = {
   ["Authorization"] = "Bearer " .. os.getenv("API_KEY"),
   ["Content-Type"] = "application/json",
}

request = function()
   counter = counter + 1
   return wrk.format("POST", "/api/v1/links", headers, '{"url":"' .. prefix .. counter .. '"}')
end
