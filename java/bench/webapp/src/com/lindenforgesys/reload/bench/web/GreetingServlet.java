package com.lindenforgesys.reload.bench.web;

import jakarta.servlet.ServletException;
import jakarta.servlet.http.HttpServlet;
import jakarta.servlet.http.HttpServletRequest;
import jakarta.servlet.http.HttpServletResponse;
import java.io.IOException;
import java.time.Instant;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentMap;

/**
 * The start-up benchmark's servlet, compiled by tools/bench-tomcat.sh against
 * Tomcat's servlet API. It starts with its application and says so on
 * standard output, which tells the benchmark that the application was
 * deployed; a GET answers with a greeting and a count.
 */
public final class GreetingServlet extends HttpServlet {
    private static final long serialVersionUID = 1L;
    private final ConcurrentMap<String, Integer> greeted = new ConcurrentHashMap<>();
    private Instant started;

    @Override
    public void init() throws ServletException {
        started = Instant.now();
        System.out.println("bench web application started");
    }

    @Override
    protected void doGet(HttpServletRequest request, HttpServletResponse response) throws IOException {
        String name = request.getParameter("name") == null ? "world" : request.getParameter("name");
        int count = greeted.merge(name, 1, Integer::sum);
        response.setContentType("text/plain;charset=UTF-8");
        response.getWriter().println("Hello, " + name + " (" + count + " since " + started + ")");
    }
}
