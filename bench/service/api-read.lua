-- wrk script: reads one link through the JSON API with the key in API_KEY.
wrk.headers["Authorization"] = "Bearer " .. os.getenv("API_KEY")
