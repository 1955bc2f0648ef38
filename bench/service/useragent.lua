-- Sends the user agent in $USER_AGENT with every request.
wrk.headers["User-Agent"] = os.getenv("USER_AGENT")
